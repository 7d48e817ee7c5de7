// The native lane's log: every line is built by the product's line writer
// (logging/LogLine.cpp), so what callers put in a line runs through its
// escaping under the sanitizers, and is then counted instead of written.
// Stands in for logging/Log.cpp and logging/ModuleDirectory.cpp (the module
// and data folders are one here) in the sanitized build, where the fuzz
// targets would otherwise write a file per input; the ThreadSanitizer build
// runs the real ones over the lane's Win32 file calls.

#include "logging/DataDirectory.h"
#include "logging/Log.h"
#include "logging/LogLine.h"
#include "logging/LogWriter.h"
#include "tests/native/support/NativeLog.h"

#include <atomic>
#include <mutex>
#include <unistd.h>

namespace {

std::atomic<int> g_threshold{static_cast<int>(LogLevel::Trace)};
std::atomic<std::uint64_t> g_lines{0};
std::atomic<std::uint64_t> g_dropped{0};

std::mutex& DirectoryMutex() {
    static std::mutex mutex;
    return mutex;
}
std::string& Directory() {
    static std::string directory = "/tmp";
    return directory;
}

LogLineOrigin Origin() {
    return {static_cast<std::int32_t>(::getpid()), static_cast<std::int32_t>(::gettid()), {2024, 3, 5, 14, 7, 9, 42}};
}

}  // namespace

void WriteLogLine(LogLevel level, std::string_view component, std::string_view event, std::string_view message,
                  const LogField* fields, std::size_t count) noexcept {
    if (static_cast<int>(level) < g_threshold.load()) return;
    try {
        const std::string text = LogLineText(level, component, event, message, fields, count, Origin());
        g_lines += text.empty() ? 0 : 1;
    } catch (...) {
        ++g_dropped;  // text that is not UTF-8: the real log drops the line too
    }
}

bool IsLogLevelEnabled(LogLevel level) noexcept { return static_cast<int>(level) >= g_threshold.load(); }
void BootstrapLog(const std::string& message) noexcept {
    WriteLogLine(LogLevel::Error, "settings_bootstrap", "bootstrap.diagnostic", message, nullptr, 0);
}
std::string LocalTimestamp() { return FormatLogTimestamp(Origin().time); }

std::string ModuleDirectory() {
    std::lock_guard<std::mutex> lock(DirectoryMutex());
    return Directory();
}
std::string DataDirectory() { return ModuleDirectory(); }
void SetModuleDirectoryForTesting(const std::string& directory) {
    std::lock_guard<std::mutex> lock(DirectoryMutex());
    Directory() = directory.empty() ? "/tmp" : directory;
}
void ResetLoggingForTesting() {}  // nothing here is configured

namespace native_log {
std::uint64_t LinesBuilt() { return g_lines.load(); }
std::uint64_t LinesDropped() { return g_dropped.load(); }
}  // namespace native_log
