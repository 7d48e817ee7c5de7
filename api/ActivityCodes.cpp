#include "api/ActivityCodes.h"

#include <windows.h>

#include <cctype>

namespace {
constexpr std::int64_t kEpochOffset = 116444736000000000LL;  // 1601 to 1970 in 100 ns units
constexpr std::int64_t kHundredNanosecondsPerSecond = 10000000LL;

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
std::uint32_t ActivityEventTime(const std::string& timestamp) {
    short fields[6] = {};
    if (timestamp.empty() || !ReadDateTime(timestamp.c_str(), fields)) return 0;
    SYSTEMTIME time{};
    time.wYear = static_cast<WORD>(fields[0]);
    time.wMonth = static_cast<WORD>(fields[1]);
    time.wDay = static_cast<WORD>(fields[2]);
    time.wHour = static_cast<WORD>(fields[3]);
    time.wMinute = static_cast<WORD>(fields[4]);
    time.wSecond = static_cast<WORD>(fields[5]);
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

