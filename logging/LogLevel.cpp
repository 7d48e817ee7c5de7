#include "logging/Log.h"

#include <cctype>

LogLevel ParseLogLevel(const std::string& text, LogLevel fallback) {
    std::string lower = text;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));

    if (lower == "trace") return LogLevel::Trace;
    if (lower == "debug") return LogLevel::Debug;
    if (lower == "info") return LogLevel::Info;
    if (lower == "warn" || lower == "warning") return LogLevel::Warn;
    if (lower == "error") return LogLevel::Error;
    if (lower == "none" || lower == "off") return LogLevel::None;
    return fallback;
}

bool IsLogLevelText(const std::string& text) {
    constexpr auto kNoLevel = static_cast<LogLevel>(-1);
    return ParseLogLevel(text, kNoLevel) != kNoLevel;
}

const char* LogLevelName(LogLevel level) noexcept {
    switch (level) {
        case LogLevel::Trace: return "trace";
        case LogLevel::Debug: return "debug";
        case LogLevel::Info: return "info";
        case LogLevel::Warn: return "warn";
        case LogLevel::Error: return "error";
        case LogLevel::None: return "none";
    }
    return "info";
}
