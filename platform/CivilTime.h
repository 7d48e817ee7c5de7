#pragma once
// Calendar dates as seconds since 1970-01-01 00:00 (proleptic Gregorian),
// computed here rather than by SystemTimeToFileTime, which under Wine takes
// dates Windows refuses (29 February of a common year, years past 30827).

#include <windows.h>

#include <cstdint>
#include <string_view>

namespace tly {

// The calendar time's seconds since 1970 (its fields taken as they are, not
// validated; a local time gives local seconds).
std::int64_t SecondsSince1970(const SYSTEMTIME& time);

// An ISO 8601 UTC time as servers write it, "2026-12-10T14:07:09Z", with
// optional fractions of a second and "Z", "+hh:mm" or "-hh:mm" (no zone:
// UTC): its seconds since 1970. False for anything else, or a date or time
// that does not exist.
bool ParseUtcTimestamp(std::string_view text, std::int64_t& seconds);

}  // namespace tly
