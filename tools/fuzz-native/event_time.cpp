// The event time of an activity and of a badge file record. An activity's
// time is checked against its rules, computed another way: six numbers read
// as "%hd-%hd-%hdT%hd:%hd:%hd" reads them (kept to 16 bits, taken as unsigned
// words), a date the system's file-time conversion accepts (years 1601 to
// 30827, real days of real months, hours, minutes and seconds in range), then
// seconds since 1970 cut to 32 bits; 0 for anything else. The badge file's
// reader takes any six numbers and normalises them; it must not misbehave on
// any, and gives 0 without six. The same texts go through the reading of a
// denial's notes.

#include "api/ActivityCodes.h"
#include "translator/badges/BadgeEventFile.h"
#include "tools/fuzz-native/FuzzCheck.h"

#include <chrono>
#include <cstdio>
#include <cstring>

namespace {

using fuzz_native::Check;

// The six numbers by the C library's own scanner, or false. Only for texts
// whose digit runs are short enough that the scanner's value is defined.
bool ScannedFields(const std::string& text, short (&fields)[6]) {
    return std::sscanf(text.c_str(), "%hd-%hd-%hdT%hd:%hd:%hd", &fields[0], &fields[1], &fields[2], &fields[3],
                       &fields[4], &fields[5]) == 6;
}

bool ShortDigitRuns(const std::string& text) {
    std::size_t run = 0;
    for (char c : text) {
        run = (c >= '0' && c <= '9') ? run + 1 : 0;
        if (run > 9) return false;
    }
    return true;
}

std::uint32_t ExpectedActivityTime(const std::string& text) {
    short fields[6];
    if (text.empty() || !ScannedFields(text, fields)) return 0;
    unsigned w[6];
    for (int i = 0; i < 6; ++i) w[i] = static_cast<std::uint16_t>(fields[i]);
    using namespace std::chrono;
    if (w[0] < 1601 || w[0] > 30827 || w[1] > 12 || w[2] > 31 || w[3] > 23 || w[4] > 59 || w[5] > 59) return 0;
    const year_month_day date{year{static_cast<int>(w[0])}, month{w[1]}, day{w[2]}};  // day holds 0 to 255 only
    if (!date.ok()) return 0;
    const auto at = sys_days{date} + hours{w[3]} + minutes{w[4]} + seconds{w[5]};
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(at.time_since_epoch().count()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The readers take a C string: the text ends at its first NUL.
    const std::string text(reinterpret_cast<const char*>(data), ::strnlen(reinterpret_cast<const char*>(data), size));
    const std::uint32_t activity = ActivityEventTime(text);
    if (ShortDigitRuns(text)) {
        Check(activity == ExpectedActivityTime(text),
              "activity time " + std::to_string(activity) + ", its rules give " +
                  std::to_string(ExpectedActivityTime(text)),
              text);
    }
    // The notes of a denied activity and the kind of an alarm come from the
    // same answer: codes from the table or the plain denial, a name or none.
    const EventCodes codes = DenialCodes(text);
    Check((codes.type == 1 && (codes.id == 63 || codes.id == 8 || codes.id == 24 || codes.id == 3 || codes.id == 71 ||
                               codes.id == 65)) ||
              (codes.type == 3 && codes.id == 0),
          "denial codes from the table", text);
    static_cast<void>(AlarmTypeName(static_cast<std::int32_t>(size % 9) - 1));

    const std::uint32_t badge = BadgeEventTime(text);
    int numbers[6];
    if (std::sscanf(text.c_str(), "%d-%d-%dT%d:%d:%d", &numbers[0], &numbers[1], &numbers[2], &numbers[3],
                    &numbers[4], &numbers[5]) != 6) {
        Check(badge == 0, "a badge record's time without six numbers is 0", text);
    }
    return 0;
}
