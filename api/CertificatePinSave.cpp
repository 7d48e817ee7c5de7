#include "api/TLYApiImpl.h"

void TLYApiImpl::SavePinnedThumbprint() {}
