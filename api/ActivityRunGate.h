#pragma once
// Who may run a pass over the open panels, and when.
//
// One thread at a time holds the gate, so two passes never fetch and deliver
// the same batch at once. A request made while a pass is under way is served
// by a pass that starts after it: requests only ever set a flag, and the
// holder takes it before each pass.
//
// Requests come in two kinds. A host's status request asks every second per
// panel whether anything is waiting, whether or not anything is; on a large
// site those requests arrive faster than passes end, and passes would follow
// each other back to back, asking the server for every panel's pending list
// hundreds of times a second while nothing waits. So after a pass that took
// nothing, a paced request waits: the next pass starts no sooner than
// kIdleSpacingMs after the idle one began, nor before the fetching has had as
// much time again as it took (at most kLongestIdleSpacingMs). A pass that took
// something, a notification that activities are waiting, an explicit fetch
// and a pass cut short by its time budget are not paced: a backlog drains
// back to back.
//
// Lock-free: the request flags and the pacing are atomics. The pacing is
// written only by the holder and read by anyone deciding how long to wait.

#include <atomic>
#include <cstdint>
#include <functional>

class ActivityRunGate {
public:
    static constexpr std::uint32_t kIdleSpacingMs = 250;
    static constexpr std::uint32_t kLongestIdleSpacingMs = 1000;

    enum class Urgency { Paced, Now };

    // tickCount: the millisecond tick the pacing is measured with.
    explicit ActivityRunGate(std::function<std::uint32_t()> tickCount) : tickCount_(std::move(tickCount)) {}
    ActivityRunGate(const ActivityRunGate&) = delete;
    ActivityRunGate& operator=(const ActivityRunGate&) = delete;

    void Ask(Urgency urgency);
    bool Asked() const { return asked_.load(); }

    // The gate itself: false when another thread holds it.
    bool TryEnter();
    void Leave() { underWay_.store(false); }
    bool UnderWay() const { return underWay_.load(); }

    // For the holder, before each pass: true, and the request taken, when one
    // is open and the pacing lets it start now. A paced request that must
    // wait stays open.
    bool TakeRequestForPass();
    // For the holder, after each pass that TakeRequestForPass allowed.
    void PassEnded(std::uint32_t startedTick, bool tookSomething);

    // Milliseconds until an open paced request may start; 0 when it may now
    // (or when none is open).
    std::uint32_t WaitBeforeNextPass() const;

    std::uint32_t Now() const { return tickCount_(); }

private:
    std::uint32_t PacedWaitAt(std::uint32_t now) const;

    const std::function<std::uint32_t()> tickCount_;
    std::atomic<bool> underWay_{false};
    std::atomic<bool> asked_{false};
    std::atomic<bool> urgent_{false};  // an open request that is not paced
    // Set by an idle pass: when it began and how long after that the next may start.
    std::atomic<bool> pacing_{false};
    std::atomic<std::uint32_t> idleStartedTick_{0};
    std::atomic<std::uint32_t> idleSpacingMs_{0};
};
