#include "api/ActivityCodes.h"

#include <windows.h>

#include <cctype>
#include <cstdio>

namespace {
constexpr std::int64_t kEpochOffset = 116444736000000000LL;  // 1601 to 1970 in 100 ns units
constexpr std::int64_t kHundredNanosecondsPerSecond = 10000000LL;
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
    return {1, 65};
}

// Seconds since 1970 of a UTC "YYYY-MM-DDThh:mm:ss..." text; 0 when unusable.
std::uint32_t ActivityEventTime(const std::string& timestamp) {
    if (timestamp.empty()) return 0;
    SYSTEMTIME time{};
    short year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (std::sscanf(timestamp.c_str(), "%hd-%hd-%hdT%hd:%hd:%hd", &year, &month, &day, &hour, &minute, &second) != 6) {
        return 0;
    }
    time.wYear = static_cast<WORD>(year);
    time.wMonth = static_cast<WORD>(month);
    time.wDay = static_cast<WORD>(day);
    time.wHour = static_cast<WORD>(hour);
    time.wMinute = static_cast<WORD>(minute);
    time.wSecond = static_cast<WORD>(second);
    FILETIME fileTime{};
    if (!::SystemTimeToFileTime(&time, &fileTime)) return 0;
    const std::int64_t ticks =
        (static_cast<std::int64_t>(fileTime.dwHighDateTime) << 32) | static_cast<std::int64_t>(fileTime.dwLowDateTime);
    return static_cast<std::uint32_t>((ticks - kEpochOffset) / kHundredNanosecondsPerSecond);
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

