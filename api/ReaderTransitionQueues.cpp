#include "api/ReaderTransitionQueues.h"

#include "api/SiteData.h"
#include "logging/Log.h"

#include <new>

void ReaderTransitionQueues::Queue(const std::string& externalId, bool online) {
    tly::MutexLock guard(lock_);
    QueueLocked(externalId, online);
}

void ReaderTransitionQueues::Replace(const std::vector<std::string>& offline, const std::vector<std::string>& online) {
    tly::MutexLock guard(lock_);
    for (auto& [panel, queued] : offline_) queued.Clear();
    for (auto& [panel, queued] : online_) queued.Clear();
    for (const std::string& externalId : offline) QueueLocked(externalId, false);
    for (const std::string& externalId : online) QueueLocked(externalId, true);
}

void ReaderTransitionQueues::QueueLocked(const std::string& externalId, bool online) {
    std::int32_t panel = 0;
    std::int32_t reader = 0;
    if (externalId.empty() || !ParseReaderExternalId(externalId, panel, reader)) return;
    if (!(online ? online_ : offline_)[panel].Add(reader)) return;
    if (online) {
        LogApiEvent(LogLevel::Debug, "reader.mark_online", "Queued reader online transition",
                    {{"panel_id", panel}, {"reader_id", reader}});
    } else {
        LogApiEvent(LogLevel::Debug, "reader.mark_offline", "Queued reader offline transition",
                    {{"panel_id", panel}, {"reader_id", reader}});
    }
}

void ReaderTransitionQueues::Drain(std::int32_t panelId, bool online, ReaderStatusList* list) {
    if (!list) return;
    tly::MutexLock guard(lock_);
    Queues& queues = online ? online_ : offline_;
    auto entry = queues.find(panelId);
    if (entry == queues.end() || entry->second.Empty()) return;

    const std::vector<std::int32_t>& queued = entry->second.Readers();
    auto* items = new (std::nothrow) ReaderStatusEntry[queued.size()];
    if (items) {
        for (size_t i = 0; i < queued.size(); ++i) items[i] = {queued[i], static_cast<std::uint8_t>(online ? 1 : 0)};
        list->items = items;
        list->count = static_cast<std::int32_t>(queued.size());
        entry->second.Clear();
    } else {
        // Out of memory: report nothing now and keep the transitions for the
        // next poll rather than lose them.
        list->items = nullptr;
        list->count = 0;
    }
}

void ReaderTransitionQueues::ForgetPanel(std::int32_t panelId) {
    tly::MutexLock guard(lock_);
    online_.erase(panelId);
    offline_.erase(panelId);
}
