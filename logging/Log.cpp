#include "logging/Log.h"

#include "logging/DataDirectory.h"
#include "logging/LogFile.h"
#include "logging/LogLine.h"
#include "logging/LogWriter.h"
#include "platform/Clock.h"
#include "platform/Mutex.h"
#include "platform/UniqueResource.h"
#include "settings/TranslatorSettings.h"

#include <windows.h>

#include <atomic>
#include <cctype>
#include <optional>

namespace {

constexpr char kDefaultLogFileName[] = "tly_translator.log";
constexpr std::int64_t kBytesPerMegabyte = 1048576;
constexpr int kInitialThreshold = static_cast<int>(LogLevel::None);

// The process-wide configuration. Created on first use and never destroyed, so
// that code running during process exit can still log safely.
struct LogConfig {
    tly::Mutex mutex;
    // Written under the mutex, read without it: a filtered call costs one load.
    std::atomic<int> threshold{kInitialThreshold};
    // Empty until first use, then DataDirectory() + default name.
    std::string path TLY_GUARDED_BY(mutex);
    tly::LogRotationLimits limits TLY_GUARDED_BY(mutex){10 * kBytesPerMegabyte, 3};
    tly::LogFile file TLY_GUARDED_BY(mutex);
};

LogConfig& Config() {
    static auto* config = new LogConfig;
    return *config;
}

// How many LogBatch scopes this thread is inside.
thread_local int t_logBatchDepth = 0;

void FlushHeldLines() noexcept {
    try {
        LogConfig& config = Config();
        tly::MutexLock lock(config.mutex);
        config.file.Flush();
    } catch (...) {
    }
}

const std::string& LogPathLocked(LogConfig& config) TLY_REQUIRES(config.mutex) {
    if (config.path.empty()) config.path = DefaultLogFilePath();
    return config.path;
}

bool Passes(LogLevel level, const LogConfig& config) {
    return static_cast<int>(level) >= config.threshold.load(std::memory_order_relaxed);
}

// Where and when a line is written: this process and thread, the local time.
LogLineOrigin Origin() {
    const SYSTEMTIME t = tly::CurrentClock().LocalTime();
    return {static_cast<std::int32_t>(::GetCurrentProcessId()), static_cast<std::int32_t>(::GetCurrentThreadId()),
            {t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds}};
}

// The text with every byte sequence that is not UTF-8 replaced by U+FFFD, as
// the JSON library's writer replaces it.
std::string ValidUtf8(const std::string& text) {
    const std::string quoted = nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    return nlohmann::json::parse(quoted).get<std::string>();
}

// Appends text in one write; a file that cannot be opened is skipped. Others
// may write too: the main log keeps the default log file open for appending.
void AppendText(const std::string& path, const std::string& text) {
    tly::UniqueFileHandle file(::CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                             nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
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

std::string LocalTimestamp() { return FormatLogTimestamp(Origin().time); }

void WriteLogLine(LogLevel level, std::string_view component, std::string_view event, std::string_view message,
                  const LogField* fields, size_t count) noexcept {
    try {
        LogConfig& config = Config();
        if (!Passes(level, config)) return;
        tly::MutexLock lock(config.mutex);
        if (!Passes(level, config)) return;  // raised meanwhile

        // Throws on text that is not valid UTF-8: the line is then dropped.
        std::string text = LogLineText(level, component, event, message, fields, count, Origin());
        // The main log has CR LF line ends, as a text-mode stream would write them.
        text += "\r\n";
        const bool hold = t_logBatchDepth > 0 && level < LogLevel::Warn;
        config.file.Append(LogPathLocked(config), text, config.limits, hold);
    } catch (...) {
        // A log line is never worth failing the caller for.
    }
}

// "C:\Logs\x.log", "\\server\share\x.log" or "\x.log" name a place of their own;
// anything else lies in the data folder.
static bool IsAbsolutePath(const std::string& name) {
    const auto separator = [](char c) { return c == '\\' || c == '/'; };
    if (!name.empty() && separator(name[0])) return true;
    return name.size() >= 3 && std::isalpha(static_cast<unsigned char>(name[0])) && name[1] == ':' && separator(name[2]);
}

std::string DefaultLogFilePath() { return DataDirectory() + "\\" + kDefaultLogFileName; }

std::string LogFilePathFor(const TranslatorSettings& settings) {
    const std::string fileName = settings.log_file_name.empty() ? kDefaultLogFileName : settings.log_file_name;
    if (IsAbsolutePath(fileName)) return fileName;
    return DataDirectory() + "\\" + fileName;
}

LogFileChoice ApplyLoggingSettings(const TranslatorSettings& settings) noexcept {
    try {
        // A level that is none keeps the one in force (the settings' load has
        // said so: LoadedSettings.cpp), rather than silencing the log.
        const LogLevel threshold =
            settings.log_level.empty() ? LogLevel::None : ParseLogLevel(settings.log_level, CurrentLogLevel());
        // The file is looked at before the lock: lines go on meanwhile.
        LogFileChoice choice = ChooseLogFile(settings);

        LogConfig& config = Config();
        tly::MutexLock lock(config.mutex);
        config.threshold.store(static_cast<int>(threshold), std::memory_order_relaxed);
        config.path = choice.path;
        config.limits.maxFileSize = static_cast<std::int64_t>(settings.max_log_size_mb) * kBytesPerMegabyte;
        config.limits.maxRotatedFiles =
            settings.max_log_files >= 0 ? static_cast<std::uint32_t>(settings.max_log_files) : 3;
        // A settings load starts from the file as it now is under the name.
        config.file.Close();
        return choice;
    } catch (...) {
        // Out of memory while building the path: keep the previous configuration.
        return {};
    }
}

std::string CurrentLogFilePath() {
    LogConfig& config = Config();
    tly::MutexLock lock(config.mutex);
    return LogPathLocked(config);
}

void ResetLoggingForTesting() {
    LogConfig& config = Config();
    tly::MutexLock lock(config.mutex);
    config.threshold.store(kInitialThreshold, std::memory_order_relaxed);
    config.path.clear();
    config.limits = tly::LogRotationLimits{10 * kBytesPerMegabyte, 3};
    config.file.Close();
}

LogBatch::LogBatch() noexcept { ++t_logBatchDepth; }

LogBatch::~LogBatch() {
    if (--t_logBatchDepth == 0) FlushHeldLines();
}

bool IsLogLevelEnabled(LogLevel level) noexcept { return Passes(level, Config()); }

LogLevel CurrentLogLevel() noexcept {
    return static_cast<LogLevel>(Config().threshold.load(std::memory_order_relaxed));
}

void WriteHeldLogLines() noexcept { FlushHeldLines(); }

void CloseLogFileAtUnload() noexcept {
    LogConfig& config = Config();
    // Never wait under the loader lock; a line in progress keeps the file open.
    if (!config.mutex.TryLock()) return;
    const tly::MutexLock lock(config.mutex, tly::kAdoptLock);
    config.file.Close();
}

void BootstrapLog(const std::string& message) noexcept {
    FlushHeldLines();  // the lines before it go first, here too
    try {
        // Replace rather than drop: a diagnostic about a broken file must not be
        // lost. Built and ended as every line is; its message is written even empty.
        const std::string valid = ValidUtf8(message);
        const std::string text = LogLineText(LogLevel::Error, "settings_bootstrap", "bootstrap.diagnostic",
                                             std::optional<std::string_view>(valid), nullptr, 0, Origin()) +
                                 "\r\n";

        const std::string directory = DataDirectory();
        AppendText(directory + "\\" + kDefaultLogFileName, text);
        AppendText(directory + "\\tly_translator_bootstrap.log", text);
        ::OutputDebugStringA(("TLYSettings: " + message + "\n").c_str());
    } catch (...) {
    }
}
