#pragma once
// The native lane's stand-in for <oleauto.h>: only what
// platform/UniqueResource.h names (see windows.h beside it).

#include <windows.h>

void SysFreeString(BSTR text);
