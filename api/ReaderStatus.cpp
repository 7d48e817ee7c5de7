#include "api/TLYApiImpl.h"

void TLYApiImpl::GetReadersStatus(std::int32_t /*panelId*/, ReaderStatusList* list) {
    if (!list) return;
    list->items = nullptr;
    list->count = 0;
}
