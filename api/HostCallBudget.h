#pragma once
// The time a host call may spend in this module, on the calling thread. A host
// thread that stays inside the translator holds up the host's own work, so
// every export that may run long opens a budget; long loops ask it between
// steps, stop when it is spent and leave the rest to the module's own threads,
// and every request to the server made inside it ends by the budget's end.
// Budgets nest: an inner one never extends the outer. A thread with no budget
// (the module's own) is never cut short by one.

#include "platform/CallBudget.h"

#include <cstdint>

class HostCallBudget {
public:
    static constexpr std::uint32_t kHostCallMs = 9000;

    explicit HostCallBudget(std::uint32_t milliseconds = kHostCallMs) noexcept : scope_(milliseconds) {}

    // True on a thread whose budget is spent.
    static bool Exhausted() noexcept { return RemainingMs() == 0; }
    // Milliseconds left, or UINT32_MAX on a thread without a budget.
    static std::uint32_t RemainingMs() noexcept { return tly::CallBudgetRemainingMs(); }

private:
    tly::CallBudgetScope scope_;
};
