#include "logging/Log.h"

#include "logging/LogFile.h"
#include "platform/Clock.h"
#include "platform/UniqueResource.h"
#include "settings/TranslatorSettings.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <charconv>
#include <mutex>
#include <optional>

namespace {

constexpr char kDefaultLogFileName[] = "tly_translator.log";
constexpr std::int64_t kBytesPerMegabyte = 1048576;
constexpr int kInitialThreshold = static_cast<int>(LogLevel::None);

// The process-wide configuration. Created on first use and never destroyed, so
// that code running during process exit can still log safely.
struct LogConfig {
    std::mutex mutex;
    // Written under the mutex, read without it: a filtered call costs one load.
    std::atomic<int> threshold{kInitialThreshold};
    std::string path;  // empty until first use, then ModuleDirectory() + default name
    tly::LogRotationLimits limits{10 * kBytesPerMegabyte, 3};
    tly::LogFile file;
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
        std::lock_guard<std::mutex> lock(config.mutex);
        config.file.Flush();
    } catch (...) {
    }
}

std::string DefaultLogPath() { return ModuleDirectory() + "\\" + kDefaultLogFileName; }

// Caller holds the log mutex.
const std::string& LogPathLocked(LogConfig& config) {
    if (config.path.empty()) config.path = DefaultLogPath();
    return config.path;
}

bool Passes(LogLevel level, const LogConfig& config) {
    return static_cast<int>(level) >= config.threshold.load(std::memory_order_relaxed);
}

// A JSON string, quoted and escaped as the JSON library writes it; throws on
// text that is not valid UTF-8. Printable ASCII without quotes or backslashes,
// which nearly every text is, goes as it is; the rest goes through the
// library's writer, whose set-up per call costs more than the text itself.
void AppendQuoted(std::string& out, std::string_view text) {
    const bool plain = std::all_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte >= 0x20 && byte < 0x80 && byte != '"' && byte != '\\';
    });
    if (!plain) {
        out += nlohmann::json(std::string(text)).dump();
        return;
    }
    out += '"';
    out += text;
    out += '"';
}

template <typename Integer>
void AppendInteger(std::string& out, Integer value) {
    char digits[24];
    const std::to_chars_result end = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, end.ptr);
}

// A field's value as the JSON library writes it, with the common kinds
// written directly for the same reason.
void AppendValue(std::string& out, const nlohmann::json& value) {
    switch (value.type()) {
        case nlohmann::json::value_t::string: AppendQuoted(out, value.get_ref<const std::string&>()); return;
        case nlohmann::json::value_t::number_integer: AppendInteger(out, value.get<std::int64_t>()); return;
        case nlohmann::json::value_t::number_unsigned: AppendInteger(out, value.get<std::uint64_t>()); return;
        case nlohmann::json::value_t::boolean: out += value.get<bool>() ? "true" : "false"; return;
        default: out += value.dump(); return;
    }
}

// Insertion sort, stable: a line has a handful of fields, and a sort that
// allocates would cost more than the line's text.
void SortByKey(const LogField** first, const LogField** last) {
    for (const LogField** i = first + 1; i < last; ++i) {
        const LogField* field = *i;
        const LogField** j = i;
        for (; j > first && field->key < (*(j - 1))->key; --j) *j = *(j - 1);
        *j = field;
    }
}

// The "fields" object: keys in byte-wise order, the later of two equal keys winning.
void AppendFields(std::string& out, const LogField* fields, size_t count) {
    constexpr size_t kOnStack = 16;
    const LogField* onStack[kOnStack];
    std::vector<const LogField*> onHeap;
    const LogField** sorted = onStack;
    if (count > kOnStack) {
        onHeap.resize(count);
        sorted = onHeap.data();
    }
    for (size_t i = 0; i < count; ++i) sorted[i] = &fields[i];
    SortByKey(sorted, sorted + count);
    out += '{';
    for (size_t i = 0; i < count; ++i) {
        if (i + 1 < count && sorted[i + 1]->key == sorted[i]->key) continue;
        if (out.back() != '{') out += ',';
        AppendQuoted(out, sorted[i]->key);
        out += ':';
        AppendValue(out, sorted[i]->value);
    }
    out += '}';
}

// At least width digits of value, zero-padded.
char* PutDigits(char* at, unsigned value, int width) {
    char digits[12];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    for (int pad = count; pad < width; ++pad) *at++ = '0';
    while (count > 0) *at++ = digits[--count];
    return at;
}

// 2024-03-05T14:07:09.042, without the C library's formatter: every line has one.
size_t FormatTimestamp(const SYSTEMTIME& t, char (&text)[40]) {
    char* at = PutDigits(text, t.wYear, 4);
    *at++ = '-';
    at = PutDigits(at, t.wMonth, 2);
    *at++ = '-';
    at = PutDigits(at, t.wDay, 2);
    *at++ = 'T';
    at = PutDigits(at, t.wHour, 2);
    *at++ = ':';
    at = PutDigits(at, t.wMinute, 2);
    *at++ = ':';
    at = PutDigits(at, t.wSecond, 2);
    *at++ = '.';
    at = PutDigits(at, t.wMilliseconds, 3);
    return static_cast<size_t>(at - text);
}

// A log line as every log file gets it: the bytes the JSON library writes for
// the line's object (keys in byte-wise order, compact) and the CR LF line end
// a text-mode stream would write. Written piece by piece: a line per activity
// is the log's hot path, and a whole object per line costs a tree of
// allocations that the text alone does not need. No message leaves the member
// out; an empty one is written as it is. Throws on text that is not valid UTF-8.
std::string LineText(LogLevel level, std::string_view component, std::string_view event,
                     std::optional<std::string_view> message, const LogField* fields, size_t count) {
    std::string text;
    text.reserve(256);
    text += "{\"component\":";
    AppendQuoted(text, component);
    text += ",\"event\":";
    AppendQuoted(text, event);
    if (count != 0) {
        text += ",\"fields\":";
        AppendFields(text, fields, count);
    }
    text += ",\"level\":";
    AppendQuoted(text, LogLevelName(level));
    if (message) {
        text += ",\"message\":";
        AppendQuoted(text, *message);
    }
    text += ",\"process_id\":";
    AppendInteger(text, static_cast<std::int32_t>(::GetCurrentProcessId()));
    text += ",\"thread_id\":";
    AppendInteger(text, static_cast<std::int32_t>(::GetCurrentThreadId()));
    char timestamp[40];
    const size_t length = FormatTimestamp(tly::CurrentClock().LocalTime(), timestamp);
    text += ",\"timestamp\":\"";
    text.append(timestamp, length);
    text += "\"}\r\n";
    return text;
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

std::string LocalTimestamp() {
    char text[40];
    return std::string(text, FormatTimestamp(tly::CurrentClock().LocalTime(), text));
}

namespace {

void WriteLine(LogLevel level, std::string_view component, std::string_view event, std::string_view message,
               const LogField* fields, size_t count) noexcept {
    try {
        LogConfig& config = Config();
        if (!Passes(level, config)) return;
        std::lock_guard<std::mutex> lock(config.mutex);
        if (!Passes(level, config)) return;  // raised meanwhile

        // Throws on text that is not valid UTF-8: the line is then dropped.
        const std::string text = LineText(level, component, event,
                                          message.empty() ? std::nullopt : std::optional(message), fields, count);
        const bool hold = t_logBatchDepth > 0 && level < LogLevel::Warn;
        config.file.Append(LogPathLocked(config), text, config.limits, hold);
    } catch (...) {
        // A log line is never worth failing the caller for.
    }
}

constexpr char kTranslatorComponent[] = "translator";
constexpr char kApiComponent[] = "tly_api";

}  // namespace

void LogEvent(LogLevel level, std::string_view component, std::string_view event, std::string_view message,
              const LogFields& fields) noexcept {
    WriteLine(level, component, event, message, fields.data(), fields.size());
}

void LogEvent(LogLevel level, std::string_view component, std::string_view event, std::string_view message,
              std::initializer_list<LogField> fields) noexcept {
    WriteLine(level, component, event, message, fields.begin(), fields.size());
}

void LogTranslatorEvent(LogLevel level, std::string_view event, std::string_view message,
                        const LogFields& fields) noexcept {
    WriteLine(level, kTranslatorComponent, event, message, fields.data(), fields.size());
}

void LogTranslatorEvent(LogLevel level, std::string_view event, std::string_view message,
                        std::initializer_list<LogField> fields) noexcept {
    WriteLine(level, kTranslatorComponent, event, message, fields.begin(), fields.size());
}

void LogApiEvent(LogLevel level, std::string_view event, std::string_view message, const LogFields& fields) noexcept {
    WriteLine(level, kApiComponent, event, message, fields.data(), fields.size());
}

void LogApiEvent(LogLevel level, std::string_view event, std::string_view message,
                 std::initializer_list<LogField> fields) noexcept {
    WriteLine(level, kApiComponent, event, message, fields.begin(), fields.size());
}

// "C:\Logs\x.log", "\\server\share\x.log" or "\x.log" name a place of their own;
// anything else lies in the module's folder.
static bool IsAbsolutePath(const std::string& name) {
    const auto separator = [](char c) { return c == '\\' || c == '/'; };
    if (!name.empty() && separator(name[0])) return true;
    return name.size() >= 3 && std::isalpha(static_cast<unsigned char>(name[0])) && name[1] == ':' && separator(name[2]);
}

std::string LogFilePathFor(const TranslatorSettings& settings) {
    const std::string fileName = settings.log_file_name.empty() ? kDefaultLogFileName : settings.log_file_name;
    if (IsAbsolutePath(fileName)) return fileName;
    return ModuleDirectory() + "\\" + fileName;
}

void ApplyLoggingSettings(const TranslatorSettings& settings) noexcept {
    try {
        const LogLevel threshold =
            settings.log_level.empty() ? LogLevel::None : ParseLogLevel(settings.log_level, LogLevel::None);
        std::string path = LogFilePathFor(settings);

        LogConfig& config = Config();
        std::lock_guard<std::mutex> lock(config.mutex);
        config.threshold.store(static_cast<int>(threshold), std::memory_order_relaxed);
        config.path = std::move(path);
        config.limits.maxFileSize = static_cast<std::int64_t>(settings.max_log_size_mb) * kBytesPerMegabyte;
        config.limits.maxRotatedFiles =
            settings.max_log_files >= 0 ? static_cast<std::uint32_t>(settings.max_log_files) : 3;
        // A settings load starts from the file as it now is under the name.
        config.file.Close();
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

void WriteHeldLogLines() noexcept { FlushHeldLines(); }

void CloseLogFileAtUnload() noexcept {
    LogConfig& config = Config();
    // Never wait under the loader lock; a line in progress keeps the file open.
    std::unique_lock<std::mutex> lock(config.mutex, std::try_to_lock);
    if (lock.owns_lock()) config.file.Close();
}

void BootstrapLog(const std::string& message) noexcept {
    FlushHeldLines();  // the lines before it go first, here too
    try {
        // Replace rather than drop: a diagnostic about a broken file must not be lost.
        const std::string valid = ValidUtf8(message);
        const std::string text =
            LineText(LogLevel::Error, "settings_bootstrap", "bootstrap.diagnostic", valid, nullptr, 0);

        const std::string directory = ModuleDirectory();
        AppendText(directory + "\\" + kDefaultLogFileName, text);
        AppendText(directory + "\\tly_translator_bootstrap.log", text);
        ::OutputDebugStringA(("TLYSettings: " + message + "\n").c_str());
    } catch (...) {
    }
}
