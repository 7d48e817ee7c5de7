#include "platform/CallBudget.h"

#include "platform/Clock.h"

namespace tly {
namespace {

// The call's context, not shared state: each thread has its own.
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

CallBudgetScope::CallBudgetScope(std::uint32_t milliseconds) noexcept : outermost_(!ThisThreadsBudget().has) {
    if (outermost_) ThisThreadsBudget() = {true, CurrentClock().TickCount(), milliseconds};
}

CallBudgetScope::~CallBudgetScope() {
    if (outermost_) ThisThreadsBudget().has = false;
}

std::uint32_t CallBudgetRemainingMs() noexcept {
    const ThreadBudget& budget = ThisThreadsBudget();
    if (!budget.has) return UINT32_MAX;
    const std::uint32_t spent = CurrentClock().TickCount() - budget.started;  // unsigned: wrap-safe
    return spent >= budget.budgetMs ? 0 : budget.budgetMs - spent;
}

}  // namespace tly
