#pragma once
// Every read of time and every plain sleep goes through the process's clock,
// so the time-based rules (poll sleeps, 30 s retries, 60 s liveness, token
// refresh) can be tested by moving a test clock instead of waiting. A wait on
// an event that a stop sets (the watcher's, the worker's) is not a sleep: it
// keeps the event's own time-out, so the stop takes effect at once.

#include <windows.h>

#include <cstdint>

namespace tly {

class Clock {
public:
    virtual ~Clock() = default;
    virtual std::uint32_t TickCount() = 0;          // GetTickCount, wraps after 49.7 days
    virtual std::int64_t PerformanceCounter() = 0;  // QueryPerformanceCounter
    virtual std::int64_t PerformanceFrequency() = 0;
    virtual SYSTEMTIME LocalTime() = 0;             // GetLocalTime
    virtual SYSTEMTIME UtcTime() = 0;               // GetSystemTime
    virtual void Sleep(std::uint32_t milliseconds) = 0;
};

// The clock in force: the system clock unless a test installed another.
Clock& CurrentClock();

// Installs a clock for tests; null restores the system clock. The caller keeps
// ownership and must outlive every use.
void SetClockForTesting(Clock* clock);

}  // namespace tly
