#pragma once
// How a server activity maps to the host's event codes and time.

#include <cstdint>
#include <string>

struct EventCodes {
    std::int32_t type;
    std::int32_t id;
};

// The host's codes for what the server reports.
constexpr EventCodes kGrantedCodes{0, 0};       // access granted
constexpr EventCodes kDeniedCodes{1, 65};       // denied, no reason recognised
constexpr EventCodes kPanicAlarmCodes{2, 3};    // a panic alarm
constexpr EventCodes kGenericAlarmCodes{30, 2};  // any other alarm the host is told of

// The server's alarm source of a panic alarm (an alarm activity's
// "source_type"); the others are named by AlarmTypeName.
constexpr std::int32_t kPanicAlarmSource = 4;

// Codes of a denied badge activity from the server's notes: the first reason
// found anywhere in the upper-cased notes wins; anything else is "denied" (65).
EventCodes DenialCodes(const std::string& notes);

// Seconds since 1970 of a UTC "YYYY-MM-DDThh:mm:ss..." text (trailing text such
// as fractions or a zone is ignored); 0 when the text or the date is unusable.
std::uint32_t ActivityEventTime(const std::string& timestamp);

// The name that starts a generic alarm's text; empty for an unknown kind.
std::string AlarmTypeName(std::int32_t sourceType);
