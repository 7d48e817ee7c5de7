#pragma once
// The native test lane's stand-in for the little of the Windows headers and
// C runtime that the portable sources touch. The native build includes it
// ahead of every source (tests/native/CMakeLists.txt); the product build never
// sees it. Each stand-in behaves as the Windows original does where the
// sources rely on it.

#include <cstdint>
#include <ctime>

// The calling convention of the exported interface's call-back types: on a
// 64-bit Linux build there is only one.
#define __cdecl

// Seconds since 1970 of a calendar time taken as UTC, the fields normalised
// as mktime does. Like the Windows runtime's 64-bit version, -1 for a time
// before 1970 or after 3000-12-31 23:59:59, or one the fields cannot reach.
inline std::time_t _mkgmtime(std::tm* calendar) {
    constexpr std::time_t kLatest = 32535215999;  // 3000-12-31T23:59:59Z
    const std::time_t seconds = ::timegm(calendar);
    return seconds < 0 || seconds > kLatest ? std::time_t(-1) : seconds;
}
