#pragma once
// How a server activity maps to the host's event codes and time.

#include <cstdint>
#include <string>

struct EventCodes {
    std::int32_t type;
    std::int32_t id;
};

// Codes of a denied badge activity from the server's notes: the first reason
// found anywhere in the upper-cased notes wins; anything else is "denied" (65).
EventCodes DenialCodes(const std::string& notes);

// Seconds since 1970 of a UTC "YYYY-MM-DDThh:mm:ss..." text (trailing text such
// as fractions or a zone is ignored); 0 when the text or the date is unusable.
std::uint32_t ActivityEventTime(const std::string& timestamp);

// The name that starts a generic alarm's text; empty for an unknown kind.
std::string AlarmTypeName(std::int32_t sourceType);
