#pragma once
// The text of one main log line, apart from where it goes: the line's object
// as the JSON library would write it, built piece by piece. It needs nothing
// of the platform, so the escaping of what callers put in a line can be
// checked on its own.

#include "logging/Log.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// A local date and time as the line shows it.
struct LogLineTime {
    unsigned year, month, day, hour, minute, second, milliseconds;
};

// Who wrote the line, and when.
struct LogLineOrigin {
    std::int32_t processId;
    std::int32_t threadId;
    LogLineTime time;
};

// Keys in byte-wise order, compact, no line end; the later of two equal field
// keys wins. No message leaves the member out. Throws on text that is not
// valid UTF-8.
std::string LogLineText(LogLevel level, std::string_view component, std::string_view event,
                        std::optional<std::string_view> message, const LogField* fields, std::size_t count,
                        const LogLineOrigin& origin);

// The same for a line whose empty message leaves the member out, as every
// line but the bootstrap diagnostic has it.
inline std::string LogLineText(LogLevel level, std::string_view component, std::string_view event,
                               std::string_view message, const LogField* fields, std::size_t count,
                               const LogLineOrigin& origin) {
    return LogLineText(level, component, event,
                       message.empty() ? std::nullopt : std::optional<std::string_view>(message), fields, count,
                       origin);
}

// 2024-03-05T14:07:09.042
std::string FormatLogTimestamp(const LogLineTime& time);
