#pragma once
// A clock that moves only when the test says so. Installed for the lifetime of
// the object; Sleep advances it instead of waiting.

#include "platform/Clock.h"

#include <atomic>
#include <functional>

namespace tly::test {

class ManualClock final : public Clock {
public:
    explicit ManualClock(std::uint32_t startTick = 100000) : tick_(startTick) { SetClockForTesting(this); }
    ~ManualClock() override { SetClockForTesting(nullptr); }

    void Advance(std::uint32_t milliseconds) { tick_ += milliseconds; }
    void SetTick(std::uint32_t tick) { tick_ = tick; }
    void SetLocalTime(const SYSTEMTIME& time) { local_ = time; }

    std::uint32_t TickCount() override { return tick_.load(); }
    std::int64_t PerformanceCounter() override { return static_cast<std::int64_t>(tick_.load()) * 1000; }
    std::int64_t PerformanceFrequency() override { return 1000000; }
    SYSTEMTIME LocalTime() override { return local_; }
    SYSTEMTIME UtcTime() override { return local_; }
    void Sleep(std::uint32_t milliseconds) override {
        Advance(milliseconds);
        if (onSleep_) onSleep_();
    }
    // Runs at every Sleep, on the sleeping thread: a test acts at the moment
    // the code under test waits.
    void OnSleep(std::function<void()> hook) { onSleep_ = std::move(hook); }

private:
    std::atomic<std::uint32_t> tick_;
    std::function<void()> onSleep_;
    SYSTEMTIME local_{2024, 3, 2, 5, 14, 7, 9, 42};
};

}  // namespace tly::test
