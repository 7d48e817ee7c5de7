#pragma once
// What this process knows the host already has, per panel, so that an
// activity the server lists again is marked without a second delivery:
// - taken: handed to the host, its mark not yet confirmed. An entry goes only
//   when its mark succeeds, never because a listing leaves it out (a listing
//   may be partial or lag behind the marks);
// - marked recently: a lagging copy of the list may still name an activity
//   just after its mark succeeded.
// The delivery journal (DeliveryJournal.h) keeps the taken entries across a
// restart of the process; this is the in-memory side that every run asks.
//
// Taken entries are never dropped: the activity pump stops delivering when
// there are journal::kMostTakenSlots of them, until marks succeed. Marked
// ones are bounded, the oldest forgotten first. Its lock is a leaf: nothing
// else is taken and nothing is called while it is held.

#include "platform/Mutex.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <unordered_set>
#include <utility>
#include <vector>

class RedeliveryLedger {
public:
    static constexpr std::size_t kMostMarkedPerPanel = 10000;

    // Taken by the host or marked recently: mark again, never deliver again.
    bool Contains(std::int32_t panelId, std::int32_t admId) const TLY_EXCLUDES(lock_);
    // Handed to the host; stays until its mark succeeds.
    void Taken(std::int32_t panelId, std::int32_t admId) TLY_EXCLUDES(lock_);
    void Taken(std::int32_t panelId, const std::vector<std::int32_t>& admIds) TLY_EXCLUDES(lock_);
    // Their mark succeeded.
    void Marked(std::int32_t panelId, const std::vector<std::int32_t>& admIds) TLY_EXCLUDES(lock_);
    // Taken and not yet marked.
    std::size_t Size(std::int32_t panelId) const TLY_EXCLUDES(lock_);
    // Up to this many of a panel's ids taken and not yet marked, in no order.
    std::vector<std::int32_t> TakenIds(std::int32_t panelId, std::size_t most) const TLY_EXCLUDES(lock_);
    std::size_t TotalSize() const TLY_EXCLUDES(lock_);

private:
    struct PanelEntries {
        std::unordered_set<std::int32_t> taken;
        std::unordered_set<std::int32_t> marked;
        std::deque<std::int32_t> markedOrder;  // oldest first
    };

    mutable tly::Mutex lock_;
    std::map<std::int32_t, PanelEntries> panels_ TLY_GUARDED_BY(lock_);
    std::size_t totalTaken_ TLY_GUARDED_BY(lock_) = 0;
};

// Logged once per panel and key in a process: an activity that stays on the
// server comes back at every run, and one line about it is enough. Bounded
// like the ledger; a leaf lock.
class ReportedOnce {
public:
    static constexpr std::size_t kMostKeys = 100000;

    // True the first time a key is seen.
    bool First(std::int32_t panelId, std::uint64_t key) TLY_EXCLUDES(lock_);

private:
    tly::Mutex lock_;
    std::set<std::pair<std::int32_t, std::uint64_t>> seen_ TLY_GUARDED_BY(lock_);
};
