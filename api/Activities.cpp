#include "api/TLYApiImpl.h"

void TLYApiImpl::FetchAndProcessPendingActivities() {}
