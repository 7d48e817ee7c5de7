#pragma once
// Who may run a pass over the open panels, and which panels it serves.
//
// One thread at a time holds the gate, so two passes never fetch and deliver
// the same batch at once. A request made while a pass is under way is served
// by a pass that starts after it: requests only ever set a flag, and the
// holder takes it before each pass.
//
// Requests come in two kinds. A notification that activities are waiting, an
// explicit fetch, the initial data and a pass cut short by its time budget ask
// for every open panel (AllPanels). A host's status request asks only for its
// own panel, once that panel's pending list is due (DuePanels): the pump keeps
// which panels are due, the gate only that some are. A pass taken for both
// kinds serves every open panel.
//
// Lock-free: the request flags are atomics.

#include <atomic>
#include <cstdint>
#include <functional>

class ActivityRunGate {
public:
    enum class Urgency { DuePanels, AllPanels };

    // tickCount: the millisecond tick the pump measures its intervals with.
    explicit ActivityRunGate(std::function<std::uint32_t()> tickCount) : tickCount_(std::move(tickCount)) {}
    ActivityRunGate(const ActivityRunGate&) = delete;
    ActivityRunGate& operator=(const ActivityRunGate&) = delete;

    void Ask(Urgency urgency);
    bool Asked() const { return asked_.load(); }

    // The gate itself: false when another thread holds it.
    bool TryEnter();
    void Leave() { underWay_.store(false); }
    bool UnderWay() const { return underWay_.load(); }

    // For the holder, before each pass: the request it serves, taken, or
    // nothing when none is open.
    enum class Pass { None, DuePanels, AllPanels };
    Pass TakeRequestForPass();

    std::uint32_t Now() const { return tickCount_(); }

private:
    const std::function<std::uint32_t()> tickCount_;
    std::atomic<bool> underWay_{false};
    std::atomic<bool> asked_{false};
    std::atomic<bool> allPanels_{false};  // an open request for every panel
};
