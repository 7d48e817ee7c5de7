#include "translator/ReportedReaderStates.h"

#include <unordered_set>

std::vector<ReaderChange> ReportedReaderStates::TakeChanges(std::span<const ReaderStatusEntry> goneOffline,
                                                            std::span<const ReaderStatusEntry> goneOnline) {
    std::unordered_set<std::int32_t> backOnline;
    for (const ReaderStatusEntry& entry : goneOnline) {
        if (entry.online) backOnline.insert(entry.readerIndex);
    }

    std::vector<ReaderChange> changes;
    tly::MutexLock guard(lock_);
    auto take = [&](std::int32_t readerId, bool online) TLY_REQUIRES(lock_) {
        auto [known, added] = reported_.try_emplace(readerId, online);
        if (!added && known->second == online) return;
        known->second = online;
        changes.push_back({readerId, online});
    };
    for (const ReaderStatusEntry& entry : goneOffline) {
        if (!entry.online && !backOnline.count(entry.readerIndex)) take(entry.readerIndex, false);
    }
    for (const ReaderStatusEntry& entry : goneOnline) {
        if (entry.online) take(entry.readerIndex, true);
    }
    return changes;
}

void ReportedReaderStates::Forget() {
    tly::MutexLock guard(lock_);
    reported_.clear();
}
