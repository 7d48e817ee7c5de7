#include "api/ActivityCodes.h"

#include <cctype>

namespace {
constexpr std::int64_t kSecondsPerDay = 86400;

// One "%hd" conversion as the C library reads it: white space skipped, an
// optional sign, at least one digit, the value kept to 16 bits. Once per
// activity, where the library's scanner costs more than the rest of a delivery.
bool ReadShort(const char*& p, short& value) {
    while (std::isspace(static_cast<unsigned char>(*p))) ++p;
    const bool negative = *p == '-';
    if (*p == '-' || *p == '+') ++p;
    if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
    std::uint32_t magnitude = 0;
    for (; std::isdigit(static_cast<unsigned char>(*p)); ++p) magnitude = magnitude * 10 + (*p - '0');
    value = static_cast<short>(static_cast<std::uint16_t>(negative ? 0u - magnitude : magnitude));
    return true;
}

// The fields of "YYYY-MM-DDThh:mm:ss", read as "%hd-%hd-%hdT%hd:%hd:%hd" would.
bool ReadDateTime(const char* p, short (&fields)[6]) {
    static const char kSeparators[] = "--T::";
    for (int i = 0; i < 6; ++i) {
        if (i > 0 && *p++ != kSeparators[i - 1]) return false;
        if (!ReadShort(p, fields[i])) return false;
    }
    return true;
}

// A calendar date as the system's file-time conversion accepts it: years 1601
// to 30827, months 1 to 12, the days of that month by the Gregorian rule.
// Checked here rather than left to the platform's conversion, which under
// Wine also takes 29 February of a common year and years past 30827.
bool IsConvertibleDate(std::int32_t year, std::int32_t month, std::int32_t day) {
    static const std::int32_t kDaysInMonth[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year < 1601 || year > 30827 || month < 1 || month > 12 || day < 1) return false;
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return day <= kDaysInMonth[month - 1] + (month == 2 && leap ? 1 : 0);
}

// Days from 1970-01-01 to a valid Gregorian date (negative before it), by
// counting whole 400-year eras from 1 March of year 0.
std::int64_t DaysSinceEpoch(std::int32_t year, std::int32_t month, std::int32_t day) {
    const std::int64_t y = month <= 2 ? year - 1 : year;
    const std::int64_t era = y / 400;  // y is never negative here
    const std::int64_t yearOfEra = y - era * 400;
    const std::int64_t dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

}  // namespace

// The first reason found anywhere in the upper-cased notes wins.
EventCodes DenialCodes(const std::string& notes) {
    std::string upper = notes;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    struct Reason {
        const char* text;
        EventCodes codes;
    };
    static const Reason kReasons[] = {
        {"EXPIRED", {1, 63}},      {"LOST", {1, 8}},         {"INACTIVE", {1, 8}},
        {"NOT AT THIS TIME", {1, 24}}, {"ANTIPASSBACK", {3, 0}}, {"ANTI-PASSBACK", {3, 0}},
        {"INVALID FACILITY CODE", {1, 3}}, {"USER NOT FOUND", {1, 71}},
    };
    for (const Reason& reason : kReasons) {
        if (upper.find(reason.text) != std::string::npos) return reason.codes;
    }
    return kDeniedCodes;
}

// Seconds since 1970 of a UTC "YYYY-MM-DDThh:mm:ss..." text; 0 when unusable.
// The fields go through 16-bit unsigned words, as the file-time conversion's
// date record holds them, so "-2024" is year 63512 and refused.
std::uint32_t ActivityEventTime(const std::string& timestamp) {
    short fields[6] = {};
    if (timestamp.empty() || !ReadDateTime(timestamp.c_str(), fields)) return 0;
    std::int32_t words[6];
    for (int i = 0; i < 6; ++i) words[i] = static_cast<std::uint16_t>(fields[i]);
    const auto [year, month, day, hour, minute, second] = words;
    if (!IsConvertibleDate(year, month, day) || hour > 23 || minute > 59 || second > 59) return 0;
    const std::int64_t seconds = DaysSinceEpoch(year, month, day) * kSecondsPerDay + hour * 3600 + minute * 60 + second;
    // Dates outside 1970 to 2106 keep only their low 32 bits, as they always have.
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(seconds));
}

std::string AlarmTypeName(std::int32_t sourceType) {
    switch (sourceType) {
        case 0: return "RFID Alarm";
        case 1: return "Muster Alarm";
        case 3: return "Muster Cancelled";
        case 5: return "Handheld Offline";
        case 6: return "Battery Alert";
        default: return {};
    }
}

