#pragma once
// What the native lane's log (NativeLog.cpp) has seen: lines built, and lines
// dropped because their text was not UTF-8.

#include <cstdint>

namespace native_log {
std::uint64_t LinesBuilt();
std::uint64_t LinesDropped();
}  // namespace native_log
