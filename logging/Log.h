#pragma once
// The process-wide structured log: one JSON object per line, keys in byte-wise
// order, with a level threshold, a configurable file and size-based rotation.
// Logging never throws and never changes the outcome of the caller.

#include "logging/LogFileChoice.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

struct TranslatorSettings;

enum class LogLevel : int {
    Trace = 0,
    Debug = 1,
    Info = 2,
    Warn = 3,
    Error = 4,
    None = 5,  // a threshold only; nothing is logged at this level
};

struct LogField {
    LogField(std::string k, nlohmann::json v) : key(std::move(k)), value(std::move(v)) {}
    std::string key;
    nlohmann::json value;
};
using LogFields = std::vector<LogField>;

// A line's fields given in place ({{"key", value}, ...}) are read where they
// stand; a LogFields built beforehand works as well. A line below the
// threshold costs no allocation beyond its fields'.
void LogEvent(LogLevel level, std::string_view component, std::string_view event, std::string_view message = {},
              const LogFields& fields = {}) noexcept;
void LogEvent(LogLevel level, std::string_view component, std::string_view event, std::string_view message,
              std::initializer_list<LogField> fields) noexcept;
void LogTranslatorEvent(LogLevel level, std::string_view event, std::string_view message = {},
                        const LogFields& fields = {}) noexcept;
void LogTranslatorEvent(LogLevel level, std::string_view event, std::string_view message,
                        std::initializer_list<LogField> fields) noexcept;
void LogApiEvent(LogLevel level, std::string_view event, std::string_view message = {},
                 const LogFields& fields = {}) noexcept;
void LogApiEvent(LogLevel level, std::string_view event, std::string_view message,
                 std::initializer_list<LogField> fields) noexcept;

// Within a batch on this thread, lines below warn are written together when
// the batch ends (or a bounded amount of them has gathered) rather than each
// on its own: work that logs a line per item pays for one write per batch. A
// warning or an error is written at once, with every line before it. Lines of
// a batch under way are lost if the process dies, so a batch covers one short
// step of work, not a thread's life. Batches nest; the outermost one's end
// writes.
class LogBatch {
public:
    LogBatch() noexcept;
    ~LogBatch();
    LogBatch(const LogBatch&) = delete;
    LogBatch& operator=(const LogBatch&) = delete;
};

// Writes out the lines a batch on this thread holds back. Called before a call
// into code outside this module, which may never return.
void WriteHeldLogLines() noexcept;

// Whether a line of this level would be written now. One load, no lock: a hot
// path asks before it builds the fields of a line that may be filtered anyway.
bool IsLogLevelEnabled(LogLevel level) noexcept;

// Applies the threshold, file name and rotation limits of a settings record;
// the file is the one ChooseLogFile picks (LogFileChoice.h), which is returned
// for the caller to report a refused name.
LogFileChoice ApplyLoggingSettings(const TranslatorSettings& settings) noexcept;

// The log file path that a settings record names (without applying it, and
// whether or not it would be refused).
std::string LogFilePathFor(const TranslatorSettings& settings);

// The log file beside the settings when they name none or one that is refused.
std::string DefaultLogFilePath();

LogLevel ParseLogLevel(const std::string& text, LogLevel fallback);
// Whether the text names a level ("warning" and "off" included, in any case).
bool IsLogLevelText(const std::string& text);
// The threshold in force.
LogLevel CurrentLogLevel() noexcept;
const char* LogLevelName(LogLevel level) noexcept;

// The rotated name number n of a log file path: "x\\a.log" -> "x\\a.1.log".
std::string RotatedLogName(const std::string& path, unsigned n);

// Local wall-clock time as 2024-03-05T14:07:09.042.
std::string LocalTimestamp();

// The directory of this module's file, without a trailing separator.
std::string ModuleDirectory();

// Diagnostics about the settings file itself: written whatever the threshold,
// to the default log, the bootstrap log and the debugger. A line of the two
// logs is written as every log line is (CR LF included), with text that is not
// UTF-8 replaced rather than the line dropped.
void BootstrapLog(const std::string& message) noexcept;

// Test seams: a fixed module directory, which stands for the data folder too
// (empty restores the real ones), and the log configuration back to its
// initial state.
void SetModuleDirectoryForTesting(const std::string& directory);
void ResetLoggingForTesting();

// The log file path currently in force.
std::string CurrentLogFilePath();

// Lets go of the open log file when the module is unloaded (FreeLibrary), so
// no handle of it outlives the module. Never waits.
void CloseLogFileAtUnload() noexcept;
