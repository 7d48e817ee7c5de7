#pragma once
// Milliseconds from the performance counter.

#include <windows.h>

namespace bench {

inline double NowMs() {
    static const double perMs = [] {
        LARGE_INTEGER frequency{};
        ::QueryPerformanceFrequency(&frequency);
        return static_cast<double>(frequency.QuadPart) / 1000.0;
    }();
    LARGE_INTEGER now{};
    ::QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / perMs;
}

}  // namespace bench
