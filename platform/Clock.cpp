#include "platform/Clock.h"

#include <atomic>

namespace tly {
namespace {

class SystemClock final : public Clock {
public:
    std::uint32_t TickCount() override { return ::GetTickCount(); }

    std::int64_t PerformanceCounter() override {
        LARGE_INTEGER value{};
        ::QueryPerformanceCounter(&value);
        return value.QuadPart;
    }

    std::int64_t PerformanceFrequency() override {
        LARGE_INTEGER value{};
        ::QueryPerformanceFrequency(&value);
        return value.QuadPart;
    }

    SYSTEMTIME LocalTime() override {
        SYSTEMTIME time{};
        ::GetLocalTime(&time);
        return time;
    }

    SYSTEMTIME UtcTime() override {
        SYSTEMTIME time{};
        ::GetSystemTime(&time);
        return time;
    }

    void Sleep(std::uint32_t milliseconds) override { ::Sleep(milliseconds); }
};

SystemClock g_systemClock;
std::atomic<Clock*> g_testClock{nullptr};

}  // namespace

Clock& CurrentClock() {
    Clock* clock = g_testClock.load(std::memory_order_acquire);
    return clock ? *clock : g_systemClock;
}

void SetClockForTesting(Clock* clock) { g_testClock.store(clock, std::memory_order_release); }

}  // namespace tly
