// The reader transition queues as the exports reach them.

#include "api/TLYApiImpl.h"

void TLYApiImpl::MarkReaderOnline(const std::string& externalId) { readerTransitions.Queue(externalId, true); }

void TLYApiImpl::MarkReaderOffline(const std::string& externalId) { readerTransitions.Queue(externalId, false); }

void TLYApiImpl::GetReadersGoneOnline(std::int32_t panelId, ReaderStatusList* list) {
    readerTransitions.Drain(panelId, true, list);
}

void TLYApiImpl::GetReadersGoneOffline(std::int32_t panelId, ReaderStatusList* list) {
    readerTransitions.Drain(panelId, false, list);
}
