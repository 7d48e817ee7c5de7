#pragma once
// What the REST client's files share: the component of their log lines and
// the status of an answer that succeeded.

#include "transport/WinHttpSupport.h"

#include <cstdint>
#include <string>

namespace rest_client {

constexpr std::uint32_t kSuccessStatus = 200;

inline void Log(LogLevel level, const char* event, const std::string& message, const LogFields& fields = {}) {
    tly::LogTransportLine(level, "rest_client", event, message, fields);
}

}  // namespace rest_client
