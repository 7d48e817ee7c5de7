#include "logging/Log.h"

#include "platform/Clock.h"
#include "platform/UniqueResource.h"
#include "settings/TranslatorSettings.h"

#include <windows.h>

#include <cstdio>
#include <mutex>

namespace {

constexpr char kDefaultLogFileName[] = "tly_translator.log";
constexpr std::int64_t kBytesPerMegabyte = 1048576;
// A rotation renames every numbered file once; a count beyond this would stall
// the logging thread for minutes on each rotation, so larger counts keep this many.
constexpr std::uint32_t kMostRotatedFiles = 1000;

// The process-wide configuration. Created on first use and never destroyed, so
// that code running during process exit can still log safely.
struct LogConfig {
    std::mutex mutex;
    LogLevel threshold = LogLevel::None;
    std::string path;  // empty until first use, then ModuleDirectory() + default name
    std::int64_t maxFileSize = 10 * kBytesPerMegabyte;
    std::uint32_t maxRotatedFiles = 3;
};

LogConfig& Config() {
    static auto* config = new LogConfig;
    return *config;
}

std::string DefaultLogPath() { return ModuleDirectory() + "\\" + kDefaultLogFileName; }

// Caller holds the log mutex.
const std::string& LogPathLocked(LogConfig& config) {
    if (config.path.empty()) config.path = DefaultLogPath();
    return config.path;
}

bool FileSize(const std::string& path, std::int64_t& size) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return false;
    size = (static_cast<std::int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return true;
}

// Caller holds the log mutex. Failed steps are skipped: the file keeps growing
// until a later rotation succeeds.
void RotateLogIfNeeded(LogConfig& config) {
    if (config.maxFileSize <= 0) return;
    const std::string& path = LogPathLocked(config);
    std::int64_t size = 0;
    if (!FileSize(path, size) || size < config.maxFileSize) return;

    if (config.maxRotatedFiles == 0) {
        ::DeleteFileA(path.c_str());
        return;
    }
    const unsigned count = config.maxRotatedFiles < kMostRotatedFiles ? config.maxRotatedFiles : kMostRotatedFiles;
    ::DeleteFileA(RotatedLogName(path, count).c_str());
    for (unsigned i = count - 1; i >= 1; --i) {
        ::MoveFileA(RotatedLogName(path, i).c_str(), RotatedLogName(path, i + 1).c_str());
    }
    ::MoveFileA(path.c_str(), RotatedLogName(path, 1).c_str());
}

nlohmann::json LineObject(const std::string& level, const std::string& component, const std::string& event) {
    nlohmann::json line = nlohmann::json::object();
    line["timestamp"] = LocalTimestamp();
    line["level"] = level;
    line["component"] = component;
    line["event"] = event;
    line["process_id"] = static_cast<std::int32_t>(::GetCurrentProcessId());
    line["thread_id"] = static_cast<std::int32_t>(::GetCurrentThreadId());
    return line;
}

// Appends text with the given share mode; a file that cannot be opened is skipped.
void AppendText(const std::string& path, const std::string& text, DWORD shareMode) {
    tly::UniqueFileHandle file(::CreateFileA(path.c_str(), FILE_APPEND_DATA, shareMode, nullptr, OPEN_ALWAYS,
                                             FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return;
    DWORD written = 0;
    ::WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

}  // namespace

std::string RotatedLogName(const std::string& path, unsigned n) {
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos) return path + "." + std::to_string(n);
    return path.substr(0, dot) + "." + std::to_string(n) + path.substr(dot);
}

std::string LocalTimestamp() {
    const SYSTEMTIME t = tly::CurrentClock().LocalTime();
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d", t.wYear, t.wMonth, t.wDay, t.wHour,
                  t.wMinute, t.wSecond, t.wMilliseconds);
    return text;
}

void LogEvent(LogLevel level, const std::string& component, const std::string& event, const std::string& message,
              const LogFields& fields) noexcept {
    try {
        LogConfig& config = Config();
        std::lock_guard<std::mutex> lock(config.mutex);
        if (static_cast<int>(level) < static_cast<int>(config.threshold)) return;

        RotateLogIfNeeded(config);

        nlohmann::json line = LineObject(LogLevelName(level), component, event);
        if (!message.empty()) line["message"] = message;
        if (!fields.empty()) {
            nlohmann::json object = nlohmann::json::object();
            for (const LogField& field : fields) object[field.key] = field.value;
            line["fields"] = std::move(object);
        }
        // Throws on text that is not valid UTF-8: the line is then dropped.
        std::string text = line.dump();
        // The main log has CR LF line ends, as a text-mode stream would write them.
        text += "\r\n";
        AppendText(LogPathLocked(config), text, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    } catch (...) {
        // A log line is never worth failing the caller for.
    }
}

void LogTranslatorEvent(LogLevel level, const std::string& event, const std::string& message,
                        const LogFields& fields) noexcept {
    LogEvent(level, "translator", event, message, fields);
}

void LogApiEvent(LogLevel level, const std::string& event, const std::string& message,
                 const LogFields& fields) noexcept {
    LogEvent(level, "tly_api", event, message, fields);
}

std::string LogFilePathFor(const TranslatorSettings& settings) {
    const std::string fileName = settings.log_file_name.empty() ? kDefaultLogFileName : settings.log_file_name;
    return ModuleDirectory() + "\\" + fileName;
}

void ApplyLoggingSettings(const TranslatorSettings& settings) noexcept {
    try {
        const LogLevel threshold =
            settings.log_level.empty() ? LogLevel::None : ParseLogLevel(settings.log_level, LogLevel::None);
        std::string path = LogFilePathFor(settings);

        LogConfig& config = Config();
        std::lock_guard<std::mutex> lock(config.mutex);
        config.threshold = threshold;
        config.path = std::move(path);
        config.maxFileSize = static_cast<std::int64_t>(settings.max_log_size_mb) * kBytesPerMegabyte;
        config.maxRotatedFiles = settings.max_log_files >= 0 ? static_cast<std::uint32_t>(settings.max_log_files) : 3;
    } catch (...) {
        // Out of memory while building the path: keep the previous configuration.
    }
}

std::string CurrentLogFilePath() {
    LogConfig& config = Config();
    std::lock_guard<std::mutex> lock(config.mutex);
    return LogPathLocked(config);
}

void ResetLoggingForTesting() {
    LogConfig& config = Config();
    std::lock_guard<std::mutex> lock(config.mutex);
    config.threshold = LogLevel::None;
    config.path.clear();
    config.maxFileSize = 10 * kBytesPerMegabyte;
    config.maxRotatedFiles = 3;
}

void BootstrapLog(const std::string& message) noexcept {
    try {
        nlohmann::json line = LineObject("error", "settings_bootstrap", "bootstrap.diagnostic");
        line["message"] = message;
        // Replace rather than throw: a diagnostic about a broken file must not be lost.
        const std::string text = line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";

        const std::string directory = ModuleDirectory();
        AppendText(directory + "\\" + kDefaultLogFileName, text, FILE_SHARE_READ);
        AppendText(directory + "\\tly_translator_bootstrap.log", text, FILE_SHARE_READ);
        ::OutputDebugStringA(("TLYSettings: " + message + "\n").c_str());
    } catch (...) {
    }
}
