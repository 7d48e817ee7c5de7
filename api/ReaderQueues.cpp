#include "api/TLYApiImpl.h"

#include "logging/Log.h"

#include <algorithm>
#include <new>

void TLYApiImpl::MarkReaderOnline(const std::string& externalId) {
    QueueTransition(readersGoneOnline, externalId, true);
}

void TLYApiImpl::MarkReaderOffline(const std::string& externalId) {
    QueueTransition(readersGoneOffline, externalId, false);
}

// May be called with any of the list mutexes held: panelsMutex comes after them.
void TLYApiImpl::QueueTransition(TransitionQueues& queues, const std::string& externalId, bool online) {
    std::int32_t panel = 0;
    std::int32_t reader = 0;
    if (externalId.empty() || !ParseReaderExternalId(externalId, panel, reader)) return;

    std::lock_guard<std::mutex> lock(panelsMutex);
    // Queued for the panel whether or not it is open; only TLYAPI_Open makes a
    // panel active, so a reader change never starts fetches for a panel nobody
    // hosts.
    std::vector<std::int32_t>& list = queues[panel];
    if (std::find(list.begin(), list.end(), reader) != list.end()) return;

    if (online) {
        LogApiEvent(LogLevel::Debug, "reader.mark_online", "Queued reader online transition",
                    {{"panel_id", panel}, {"reader_id", reader}});
    } else {
        LogApiEvent(LogLevel::Debug, "reader.mark_offline", "Queued reader offline transition",
                    {{"panel_id", panel}, {"reader_id", reader}});
    }
    list.push_back(reader);
}

void TLYApiImpl::GetReadersGoneOnline(std::int32_t panelId, ReaderStatusList* list) {
    DrainTransitions(readersGoneOnline, panelId, list, true);
}

void TLYApiImpl::GetReadersGoneOffline(std::int32_t panelId, ReaderStatusList* list) {
    DrainTransitions(readersGoneOffline, panelId, list, false);
}

// With nothing queued the caller's record is left exactly as it was.
void TLYApiImpl::DrainTransitions(TransitionQueues& queues, std::int32_t panelId, ReaderStatusList* list,
                                  bool online) {
    if (!list) return;
    std::lock_guard<std::mutex> lock(panelsMutex);
    auto entry = queues.find(panelId);
    if (entry == queues.end() || entry->second.empty()) return;

    std::vector<std::int32_t>& queued = entry->second;
    auto* items = new (std::nothrow) ReaderStatusEntry[queued.size()];
    if (items) {
        for (size_t i = 0; i < queued.size(); ++i) items[i] = {queued[i], static_cast<std::uint8_t>(online ? 1 : 0)};
        list->items = items;
        list->count = static_cast<std::int32_t>(queued.size());
        queued.clear();
    } else {
        // Out of memory: report nothing now and keep the transitions for the
        // next poll rather than lose them.
        list->items = nullptr;
        list->count = 0;
    }
}
