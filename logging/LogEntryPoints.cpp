// The public ways to write a line, each naming its component, all through
// WriteLogLine.

#include "logging/LogWriter.h"

namespace {

constexpr char kTranslatorComponent[] = "translator";
constexpr char kApiComponent[] = "tly_api";

}  // namespace

void LogEvent(LogLevel level, std::string_view component, std::string_view event, std::string_view message,
              const LogFields& fields) noexcept {
    WriteLogLine(level, component, event, message, fields.data(), fields.size());
}

void LogEvent(LogLevel level, std::string_view component, std::string_view event, std::string_view message,
              std::initializer_list<LogField> fields) noexcept {
    WriteLogLine(level, component, event, message, fields.begin(), fields.size());
}

void LogTranslatorEvent(LogLevel level, std::string_view event, std::string_view message,
                        const LogFields& fields) noexcept {
    WriteLogLine(level, kTranslatorComponent, event, message, fields.data(), fields.size());
}

void LogTranslatorEvent(LogLevel level, std::string_view event, std::string_view message,
                        std::initializer_list<LogField> fields) noexcept {
    WriteLogLine(level, kTranslatorComponent, event, message, fields.begin(), fields.size());
}

void LogApiEvent(LogLevel level, std::string_view event, std::string_view message, const LogFields& fields) noexcept {
    WriteLogLine(level, kApiComponent, event, message, fields.data(), fields.size());
}

void LogApiEvent(LogLevel level, std::string_view event, std::string_view message,
                 std::initializer_list<LogField> fields) noexcept {
    WriteLogLine(level, kApiComponent, event, message, fields.begin(), fields.size());
}
