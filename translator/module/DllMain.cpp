// The library's entry point. It does no work under the loader lock: threads of
// this module are stopped on ordinary code paths before it can be unloaded,
// and at process exit (reserved non-null) the other threads are already gone,
// so nothing is joined or closed there.

#include "api/TLYApiImpl.h"

#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) ::DisableThreadLibraryCalls(instance);
    if (reason == DLL_PROCESS_DETACH && reserved == nullptr) TLYApiImpl::DestroyAtUnload();
    return TRUE;
}
