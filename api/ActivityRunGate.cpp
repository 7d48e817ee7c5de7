// The run gate's requests and its pacing of idle passes.
#include "api/ActivityRunGate.h"

#include <algorithm>

void ActivityRunGate::Ask(Urgency urgency) {
    // The kind first: a holder that sees the request also sees that it is urgent.
    if (urgency == Urgency::Now) urgent_.store(true);
    asked_.store(true);
}

bool ActivityRunGate::TryEnter() {
    bool expected = false;
    return underWay_.compare_exchange_strong(expected, true);
}

bool ActivityRunGate::TakeRequestForPass() {
    if (!asked_.load()) return false;
    if (!urgent_.load() && PacedWaitAt(tickCount_()) > 0) return false;
    // Both taken before the pass begins: what is asked from here on gets a pass of its own.
    urgent_.store(false);
    return asked_.exchange(false);
}

void ActivityRunGate::PassEnded(std::uint32_t startedTick, bool tookSomething) {
    if (tookSomething) {
        pacing_.store(false);
        return;
    }
    // Unsigned subtraction measures across a wrap of the tick count.
    const std::uint32_t took = tickCount_() - startedTick;
    const std::uint32_t doubled = took >= kLongestIdleSpacingMs ? kLongestIdleSpacingMs : 2 * took;
    const std::uint32_t spacing = std::clamp(doubled, kIdleSpacingMs, kLongestIdleSpacingMs);
    idleStartedTick_.store(startedTick);
    idleSpacingMs_.store(spacing);
    pacing_.store(true);
}

std::uint32_t ActivityRunGate::WaitBeforeNextPass() const {
    if (!asked_.load() || urgent_.load()) return 0;
    return PacedWaitAt(tickCount_());
}

std::uint32_t ActivityRunGate::PacedWaitAt(std::uint32_t now) const {
    if (!pacing_.load()) return 0;
    const std::uint32_t elapsed = now - idleStartedTick_.load();
    const std::uint32_t spacing = idleSpacingMs_.load();
    return elapsed >= spacing ? 0 : spacing - elapsed;
}
