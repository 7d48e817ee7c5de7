#include "api/TLYApiImpl.h"

bool TLYApiImpl::GetInitialData(std::int32_t /*panelId*/) { return false; }
