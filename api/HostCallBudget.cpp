#include "api/HostCallBudget.h"

#include "platform/Clock.h"

#include <cstdint>

namespace {

// The budget of the host call this thread is in: the call's context, not
// shared state, so each thread has its own.
struct ThreadBudget {
    bool has = false;
    std::uint32_t started = 0;
    std::uint32_t budgetMs = 0;
};

ThreadBudget& ThisThreadsBudget() noexcept {
    thread_local ThreadBudget budget;
    return budget;
}

}  // namespace

HostCallBudget::HostCallBudget(std::uint32_t milliseconds) noexcept : outermost_(!ThisThreadsBudget().has) {
    if (!outermost_) return;
    ThisThreadsBudget() = {true, tly::CurrentClock().TickCount(), milliseconds};
}

HostCallBudget::~HostCallBudget() {
    if (outermost_) ThisThreadsBudget().has = false;
}

std::uint32_t HostCallBudget::RemainingMs() noexcept {
    const ThreadBudget& budget = ThisThreadsBudget();
    if (!budget.has) return UINT32_MAX;
    const std::uint32_t spent = tly::CurrentClock().TickCount() - budget.started;  // unsigned: wrap-safe
    return spent >= budget.budgetMs ? 0 : budget.budgetMs - spent;
}

bool HostCallBudget::Exhausted() noexcept { return RemainingMs() == 0; }
