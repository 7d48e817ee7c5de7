#pragma once
// What each panel's deliveries came to since the process started: handed to
// the host, marked on the server, refused by the host, and the id of the last
// one handed. Read once a second by the live status (api/LiveStatus.h).
//
// The delivery path pays one relaxed atomic add per activity and nothing else:
// a run looks its panel's entry up once (For) and counts on it without a lock.
// Entries are never freed while the process runs, so a reference taken by a
// run stays good across a close of its panel. The lock is a leaf and guards
// only the map.

#include "platform/Mutex.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>

class DeliveryCounters {
public:
    struct Panel {
        std::atomic<std::uint32_t> delivered{0};
        std::atomic<std::uint32_t> marked{0};
        std::atomic<std::uint32_t> refused{0};
        std::atomic<std::int32_t> lastId{0};  // 0: none handed yet
    };
    // A copy, as one reader sees it.
    struct Totals {
        std::uint32_t delivered = 0;
        std::uint32_t marked = 0;
        std::uint32_t refused = 0;
        std::int32_t lastId = 0;
    };

    Panel& For(std::int32_t panelId) TLY_EXCLUDES(lock_) {
        tly::MutexLock guard(lock_);
        std::unique_ptr<Panel>& entry = panels_[panelId];
        if (!entry) entry = std::make_unique<Panel>();
        return *entry;
    }

    std::map<std::int32_t, Totals> Snapshot() const TLY_EXCLUDES(lock_) {
        std::map<std::int32_t, Totals> totals;
        tly::MutexLock guard(lock_);
        for (const auto& [panelId, panel] : panels_) {
            totals[panelId] = {panel->delivered.load(std::memory_order_relaxed),
                               panel->marked.load(std::memory_order_relaxed),
                               panel->refused.load(std::memory_order_relaxed),
                               panel->lastId.load(std::memory_order_relaxed)};
        }
        return totals;
    }

private:
    mutable tly::Mutex lock_;
    std::map<std::int32_t, std::unique_ptr<Panel>> panels_ TLY_GUARDED_BY(lock_);
};
