#include "settings/SettingsWatcher.h"

#include "TallyportVersion.h"

#include "logging/AttentionEvents.h"
#include "logging/Log.h"
#include "logging/RepeatedLines.h"
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

constexpr char kApiComponent[] = "tly_api";
// The watcher's lines that repeat while it keeps failing, by their repeated
// lines' keys (logging/RepeatedLines.h).
constexpr char kPassFailedKey[] = "tly_api/settings.watcher.pass_failed";
constexpr char kRestartedKey[] = "tly_api/settings.watcher.restarted";

// Never throws: it runs in the handler of the failure it reports.
void ReportPassFailed(const std::string& path, const char* exceptionText) noexcept {
    try {
        const LogFields fields{{"path", path}, {"exception", exceptionText}};
        tly::LogRepeatedFailure(LogLevel::Error, kApiComponent, "settings.watcher.pass_failed",
                                "Settings file watcher pass failed; watching goes on", fields, kPassFailedKey);
    } catch (...) {
        // out of memory even for the line: the watcher goes on all the same
    }
}

std::string DirectoryOf(const std::string& path) {
    const size_t separator = path.find_last_of("\\/");
    return separator == std::string::npos ? path : path.substr(0, separator);
}

}  // namespace

void SettingsWatcher::Start(const std::string& path, std::uint64_t loadedWriteTime) {
    std::shared_ptr<Run> ended;
    {
        tly::MutexLock guard(lock_);
        if (!run_) {
            StartRunLocked(path, loadedWriteTime, false);
            return;
        }
        if (!run_->ended.load()) return;
        ended = ReplaceEndedRunLocked(path, loadedWriteTime);
    }
    LetGoOfEndedRun(std::move(ended));
}

void SettingsWatcher::RestartIfEnded() {
    std::shared_ptr<Run> ended;
    {
        tly::MutexLock guard(lock_);
        if (!run_ || !run_->ended.load()) return;
        const std::string path = run_->path;
        ended = ReplaceEndedRunLocked(path, run_->recorded.load());
    }
    LetGoOfEndedRun(std::move(ended));
}

bool SettingsWatcher::StartRunLocked(const std::string& path, std::uint64_t loadedWriteTime, bool restarted) {
    auto run = std::make_shared<Run>();
    run->path = path;
    run->recorded.store(loadedWriteTime);
    run->restarted = restarted;
    run->stop.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    // The thread shares its run: a stop that gave up waiting for it leaves
    // the run (and its stop event) to the thread until the body has returned.
    // Set before the thread exists: its first reload may already ask Running.
    running_ = true;
    if (!run->stop || !run->thread.Start([this, started = run] {
            struct Ended {
                Run& run;
                ~Ended() { run.ended.store(true); }
            } ended{*started};
            Body(*started);
        })) {
        LogApiEvent(LogLevel::Error, "settings.watcher.start_failed", "Could not start the settings file watcher",
                    {{"win32_error", static_cast<std::int64_t>(::GetLastError())}});
        running_ = false;
        return false;
    }
    run_ = std::move(run);
    return true;
}

std::shared_ptr<SettingsWatcher::Run> SettingsWatcher::ReplaceEndedRunLocked(const std::string& path,
                                                                             std::uint64_t loadedWriteTime) {
    std::shared_ptr<Run> ended = std::move(run_);
    if (!StartRunLocked(path, loadedWriteTime, true)) {
        run_ = std::move(ended);  // still in place: the next call tries again
        return nullptr;
    }
    return ended;
}

// With no lock held: the ended run's thread is past its body, so the wait
// is for its exit alone.
void SettingsWatcher::LetGoOfEndedRun(std::shared_ptr<Run> ended) {
    if (!ended) return;
    ended->thread.Join();
    // Written in full once; while runs keep ending, at debug with a summary
    // a minute (logging/RepeatedLines.h). A pass that succeeds ends the run.
    try {
        const LogFields fields{{"thread", "settings_watcher"}, {"path", ended->path}};
        tly::LogRepeatedFailure(LogLevel::Warn, kApiComponent, "settings.watcher.restarted",
                                "The settings file watcher's thread had ended; started it again", fields,
                                kRestartedKey);
    } catch (...) {
        // out of memory: the new run watches all the same
    }
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

bool SettingsWatcher::EndRunForTesting() {
    Run* run = nullptr;
    {
        tly::MutexLock guard(lock_);
        if (!run_) return false;
        run = run_.get();
        ::SetEvent(run->stop.get());
    }
    // Nothing else starts or stops the watcher while a test ends its run.
    return run->thread.Join(10000);
}

// Waits up to the time-out; false when the run is being stopped.
bool SettingsWatcher::PauseUnlessStopped(DWORD milliseconds, HANDLE stop) {
    return ::WaitForSingleObject(stop, milliseconds) == WAIT_TIMEOUT;
}

void SettingsWatcher::Body(Run& run) {
    const std::string directory = DirectoryOf(run.path);
    LogApiEvent(LogLevel::Info, "settings.watcher.started", "Settings file watcher started",
                {{"path", run.path}, {"watch_dir", directory}, {"version", TLY_VERSION_TEXT}});

    tly::UniqueChangeNotification notification(
        ::FindFirstChangeNotificationA(directory.c_str(), FALSE, FILE_NOTIFY_CHANGE_LAST_WRITE));
    if (!notification) {
        LogApiEvent(LogLevel::Warn, "settings.watcher.notify_failed",
                    "Could not set up directory change notification, falling back to polling",
                    {{"win32_error", static_cast<std::int64_t>(::GetLastError())}});
    }

    // Each pass looks at the file once; one that throws is logged and the
    // wait for the next change follows as after any pass, so a pass that
    // fails every time fails once per change of the folder (or poll). Since
    // a failure (or this run's start in place of an ended one), the next
    // pass that succeeds ends the repeated lines' run.
    bool failing = run.restarted;
    do {
        bool failed = true;
        try {
            if (void (*hook)() = passHook_.load()) hook();  // tests only: may throw
            Look(run);
            failed = false;
        } catch (const std::exception& e) {
            ReportPassFailed(run.path, e.what());
        } catch (...) {
            ReportPassFailed(run.path, "unknown exception (not a std::exception)");
        }
        if (failed) {
            failing = true;
        } else if (failing) {
            failing = false;
            tly::EndRepeatedFailures(kPassFailedKey);
            tly::EndRepeatedFailures(kRestartedKey);
        }
        looks_.fetch_add(1);
    } while (WaitForChange(notification, run.stop.get()));
}

// The write time the run knows is that of the file the settings in force came
// from, not the file's time at the start: an edit made after the load, before
// the notification was armed, shows only in the write time, so the first
// look comes at once. It is recorded once the reload is over, so a reload
// that threw is tried again at the next look.
void SettingsWatcher::Look(Run& run) {
    const std::uint64_t current = SettingsFileWriteTime(run.path);
    if (current != 0 && current != run.recorded.load()) {
        Reload(run.path);
        run.recorded.store(current);
    }
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
        // The log may be off or going elsewhere: the reason goes where problems
        // with the file always go, first, so whoever sees the log's line finds
        // the bootstrap log's too.
        BootstrapLog("Settings file at '" + path + "' changed but could not be loaded: " +
                     (read.problem.empty() ? std::string("it cannot be read") : read.problem) +
                     "; the settings in force stay until it is corrected");
        AttentionEvents::Instance().SettingsUnloadable(
            true, read.problem.empty() ? std::string("it cannot be read") : read.problem, SettingsPlace(path, read));
        LogApiEvent(LogLevel::Warn, "settings.watcher.reload_failed",
                    "Settings file changed but could not be loaded; the settings in force stay", fields);
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
