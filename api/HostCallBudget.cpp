#include "api/HostCallBudget.h"

#include "platform/Clock.h"

#include <cstdint>

namespace {
thread_local bool t_hasBudget = false;
thread_local std::uint32_t t_started = 0;
thread_local std::uint32_t t_budgetMs = 0;
}  // namespace

HostCallBudget::HostCallBudget(std::uint32_t milliseconds) noexcept : outermost_(!t_hasBudget) {
    if (!outermost_) return;
    t_hasBudget = true;
    t_started = tly::CurrentClock().TickCount();
    t_budgetMs = milliseconds;
}

HostCallBudget::~HostCallBudget() {
    if (outermost_) t_hasBudget = false;
}

std::uint32_t HostCallBudget::RemainingMs() noexcept {
    if (!t_hasBudget) return UINT32_MAX;
    const std::uint32_t spent = tly::CurrentClock().TickCount() - t_started;  // unsigned: wrap-safe
    return spent >= t_budgetMs ? 0 : t_budgetMs - spent;
}

bool HostCallBudget::Exhausted() noexcept { return RemainingMs() == 0; }
