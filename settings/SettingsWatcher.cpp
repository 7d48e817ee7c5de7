#include "settings/SettingsWatcher.h"

#include "TallyportVersion.h"

#include "logging/Log.h"
#include "settings/SettingsFile.h"
#include "settings/LoadedSettings.h"

#include <windows.h>

#include <algorithm>
#include <exception>

namespace {

constexpr DWORD kNotificationWaitMs = 5000;
constexpr DWORD kSettleMs = 500;  // let a writer finish before reading
constexpr DWORD kPollStepMs = 1000;
constexpr int kPollSteps = 30;

std::string DirectoryOf(const std::string& path) {
    const size_t separator = path.find_last_of("\\/");
    return separator == std::string::npos ? path : path.substr(0, separator);
}

}  // namespace

void SettingsWatcher::Start(const std::string& path, std::uint64_t loadedWriteTime) {
    tly::MutexLock guard(lock_);
    if (run_) return;
    auto run = std::make_shared<Run>();
    run->stop.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const HANDLE stop = run->stop.get();
    // Set before the thread exists: its first reload may already ask Running.
    running_ = true;
    // The thread shares its run: a stop that gave up waiting for it leaves
    // the stop event open until the thread has finished with it.
    const auto body = [this, path, loadedWriteTime, stop, run] {
        Body(path, loadedWriteTime, stop);
        run->ended.store(true);
    };
    if (!stop || !run->thread.Start(body)) {
        LogApiEvent(LogLevel::Error, "settings.watcher.start_failed", "Could not start the settings file watcher",
                    {{"win32_error", static_cast<std::int64_t>(::GetLastError())}});
        running_ = false;
        return;
    }
    run_ = std::move(run);
}

bool SettingsWatcher::Stop(DWORD timeoutMs) {
    std::shared_ptr<Run> run;
    {
        tly::MutexLock guard(lock_);
        run = std::move(run_);
        if (!run) return true;
        running_ = false;
    }
    ::SetEvent(run->stop.get());
    // A reload in progress finishes first, within the time-out; the watcher
    // never calls anything that stops it, so this cannot wait for itself.
    if (run->thread.Join(timeoutMs)) return true;
    // A reload still in a request: it sees Running false and brings nothing
    // up after it, and its thread holds the module until it ends.
    LogApiEvent(LogLevel::Warn, "settings.watcher.stop_timeout",
                "The settings file watcher is still finishing a reload; it ends on its own",
                {{"waited_ms", static_cast<std::int64_t>(timeoutMs)}});
    tly::MutexLock guard(lock_);
    ForgetEndedRuns();
    lingering_.push_back(std::move(run));
    return false;
}

void SettingsWatcher::ForgetEndedRuns() {
    lingering_.erase(std::remove_if(lingering_.begin(), lingering_.end(),
                                    [](const std::shared_ptr<Run>& run) { return run->ended.load(); }),
                     lingering_.end());
}

bool SettingsWatcher::ThreadAlive() const {
    tly::MutexLock guard(lock_);
    if (run_) return true;
    for (const auto& run : lingering_) {
        if (!run->ended.load()) return true;
    }
    return false;
}

// Waits up to the time-out; false when the run is being stopped.
bool SettingsWatcher::PauseUnlessStopped(DWORD milliseconds, HANDLE stop) {
    return ::WaitForSingleObject(stop, milliseconds) == WAIT_TIMEOUT;
}

void SettingsWatcher::Body(const std::string& path, std::uint64_t loadedWriteTime, HANDLE stop) {
    const std::string directory = DirectoryOf(path);
    LogApiEvent(LogLevel::Info, "settings.watcher.started", "Settings file watcher started",
                {{"path", path}, {"watch_dir", directory}, {"version", TLY_VERSION_TEXT}});

    tly::UniqueChangeNotification notification(
        ::FindFirstChangeNotificationA(directory.c_str(), FALSE, FILE_NOTIFY_CHANGE_LAST_WRITE));
    if (!notification) {
        LogApiEvent(LogLevel::Warn, "settings.watcher.notify_failed",
                    "Could not set up directory change notification, falling back to polling",
                    {{"win32_error", static_cast<std::int64_t>(::GetLastError())}});
    }

    // The write time of the file the settings in force came from, not the
    // file's time now: an edit made after the load, before the notification
    // above was armed, shows only in the write time, so look once at once.
    std::uint64_t recorded = loadedWriteTime;
    do {
        const std::uint64_t current = SettingsFileWriteTime(path);
        if (current != 0 && current != recorded) {
            recorded = current;
            Reload(path);
        }
        looks_.fetch_add(1);
    } while (WaitForChange(notification, stop));
}

// Waits until the folder may have changed; false when the run stops (or a
// wait fails, which would otherwise turn this into a busy loop).
bool SettingsWatcher::WaitForChange(const tly::UniqueChangeNotification& notification, HANDLE stop) {
    if (!notification) {
        for (int step = 0; step < kPollSteps; ++step) {
            if (!PauseUnlessStopped(kPollStepMs, stop)) return false;
        }
        return true;
    }
    for (;;) {
        const HANDLE waits[] = {stop, notification.get()};
        const DWORD woke = ::WaitForMultipleObjects(2, waits, FALSE, kNotificationWaitMs);
        if (woke == WAIT_OBJECT_0 + 1) break;
        if (woke != WAIT_TIMEOUT) return false;
    }
    ::FindNextChangeNotification(notification.get());
    return PauseUnlessStopped(kSettleMs, stop);
}

void SettingsWatcher::Reload(const std::string& path) {
    TranslatorSettings record;
    SettingsInspection read;
    bool readable = false;
    try {
        readable = ReadSettingsJson(path, record, &read);
    } catch (const std::exception&) {
        readable = false;  // a wrongly typed member; the report names it
    }
    if (!readable) {
        LogFields fields{{"path", path}};
        if (!read.problem.empty()) fields.emplace_back("reason", read.problem);
        if (read.line > 0) {
            fields.emplace_back("line", read.line);
            fields.emplace_back("column", read.column);
        }
        if (!read.member.empty()) fields.emplace_back("member", read.member);
        LogApiEvent(LogLevel::Warn, "settings.watcher.reload_failed", "Settings file changed but failed to parse",
                    fields);
        return;
    }

    UseLoadedSettings(path, record, read.findings);
    LogApiEvent(LogLevel::Info, "settings.watcher.reloaded", "Settings file changed, applied new logging configuration",
                {{"log_level", record.log_level},
                 {"log_file_name", record.log_file_name},
                 {"max_log_size_mb", record.max_log_size_mb},
                 {"max_log_files", record.max_log_files}});
    try {
        onReloaded_(record);
    } catch (...) {
        // The owner's work is its own to report; the watcher goes on watching.
    }
}
