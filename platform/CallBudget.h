#pragma once
// The time the call a thread is in may still take. The outermost scope on a
// thread sets it; scopes nest and an inner one never extends the outer. Code
// far below the call (a request on the network) reads what is left, so a wait
// it starts ends when the call's time does. A thread with no scope has no
// limit of its own here: its waits keep their own ceilings.

#include <cstdint>

namespace tly {

class CallBudgetScope {
public:
    explicit CallBudgetScope(std::uint32_t milliseconds) noexcept;
    ~CallBudgetScope();
    CallBudgetScope(const CallBudgetScope&) = delete;
    CallBudgetScope& operator=(const CallBudgetScope&) = delete;

private:
    bool outermost_;
};

// Milliseconds left on this thread's budget (by the replaceable clock), or
// UINT32_MAX on a thread without one.
std::uint32_t CallBudgetRemainingMs() noexcept;

}  // namespace tly
