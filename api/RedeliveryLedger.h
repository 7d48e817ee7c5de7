#pragma once
// What this process has already handed to the host but could not yet mark
// processed on the server, per panel. When a mark fails the server keeps the
// activities and hands them out again; the ledger lets the next run mark them
// without delivering them a second time. It lives in memory only, so a
// restart of the host process may still repeat an activity whose mark failed.
//
// Bounded: past kMostEntriesPerPanel the oldest entries are dropped. Its lock
// is a leaf: nothing else is taken and nothing is called while it is held.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

class RedeliveryLedger {
public:
    static constexpr std::size_t kMostEntriesPerPanel = 100000;

    bool Contains(std::int32_t panelId, std::int32_t admId) const;
    // After a failed mark: these were delivered and are still pending.
    void Remember(std::int32_t panelId, const std::vector<std::int32_t>& admIds);
    // After a successful mark.
    void Forget(std::int32_t panelId, const std::vector<std::int32_t>& admIds);
    // After a batch that held everything pending for the panel: whatever is
    // not in it was marked after all (a mark whose answer was lost) and will
    // not come back.
    void ForgetAllBut(std::int32_t panelId, const std::set<std::int32_t>& pending);
    std::size_t Size(std::int32_t panelId) const;

private:
    struct PanelEntries {
        std::map<std::int32_t, std::uint64_t> ids;  // id -> when it was remembered
        // Oldest first; an entry whose time no longer matches ids was forgotten
        // (and perhaps remembered again later) and is skipped.
        std::deque<std::pair<std::int32_t, std::uint64_t>> order;
        std::uint64_t clock = 0;
    };

    mutable std::mutex lock_;
    std::map<std::int32_t, PanelEntries> panels_;
};

// Malformed activities are logged once per panel and id (or text, when the id
// is unreadable) in a process, since they stay on the server and come back at
// every run. Bounded like the ledger; a leaf lock.
class ReportedOnce {
public:
    static constexpr std::size_t kMostKeys = 100000;

    // True the first time a key is seen.
    bool First(std::int32_t panelId, std::uint64_t key);

private:
    std::mutex lock_;
    std::set<std::pair<std::int32_t, std::uint64_t>> seen_;
};
