// The settings watcher: a thread that re-reads "tallyport_settings.json" when
// its write time changes, applies the logging settings at once, replaces the
// instance's record, and reconnects every open panel when the connection
// settings changed. It waits on a stop event beside the change notification,
// so a stop takes effect at once rather than at the next time-out.

#include "TallyportVersion.h"
#include "api/TLYApiImpl.h"
#include "logging/Log.h"
#include "settings/SecretProtection.h"
#include "settings/SettingsFile.h"

#include <windows.h>

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

bool ConnectionSettingsDiffer(const TranslatorSettings& a, const TranslatorSettings& b) {
    return a.hostname != b.hostname || a.port != b.port || a.client_id != b.client_id ||
           a.client_secret != b.client_secret || a.validate_cert != b.validate_cert ||
           a.cert_thumbprint != b.cert_thumbprint;
}

void TLYApiImpl::StartSettingsWatcher(std::uint64_t loadedWriteTime) {
    std::lock_guard<std::mutex> lock(watcherMutex);
    if (watcherRunning.exchange(true)) return;
    watcherStop.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!watcherStop ||
        !watcherThread.Start([this, loadedWriteTime] { SettingsWatcherThread(loadedWriteTime); })) {
        LogApiEvent(LogLevel::Error, "settings.watcher.start_failed", "Could not start the settings file watcher",
                    {{"win32_error", static_cast<std::int64_t>(::GetLastError())}});
        watcherRunning = false;
    }
}

void TLYApiImpl::StopSettingsWatcher() {
    std::lock_guard<std::mutex> lock(watcherMutex);
    if (!watcherRunning.exchange(false)) return;
    if (watcherStop) ::SetEvent(watcherStop.get());
    // A reload or reconnect in progress finishes first; the watcher never
    // calls anything that stops it, so this cannot wait for itself.
    watcherThread.Join();
    watcherStop.reset();
}

// Waits up to the time-out; false when the watcher is being stopped.
bool TLYApiImpl::WatcherSleep(DWORD milliseconds) {
    return ::WaitForSingleObject(watcherStop.get(), milliseconds) == WAIT_TIMEOUT && watcherRunning.load();
}

void TLYApiImpl::SettingsWatcherThread(std::uint64_t loadedWriteTime) {
    const std::string path = SettingsPath();
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
            ReloadSettingsFromWatcher(path);
        }
    } while (WaitForSettingsChange(notification));
}

// Waits until the directory may have changed; false when the watcher stops.
// Polling mode looks every 30 seconds.
bool TLYApiImpl::WaitForSettingsChange(const tly::UniqueChangeNotification& notification) {
    if (!notification) {
        for (int step = 0; step < kPollSteps; ++step) {
            if (!WatcherSleep(kPollStepMs)) return false;
        }
        return true;
    }
    for (;;) {
        const HANDLE waits[] = {watcherStop.get(), notification.get()};
        const DWORD woke = ::WaitForMultipleObjects(2, waits, FALSE, kNotificationWaitMs);
        if (!watcherRunning.load() || woke == WAIT_OBJECT_0) return false;
        if (woke == WAIT_OBJECT_0 + 1) break;
    }
    ::FindNextChangeNotification(notification.get());
    return WatcherSleep(kSettleMs);
}

void TLYApiImpl::ReloadSettingsFromWatcher(const std::string& path) {
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

    ReconcileStoredSecret(path, record);
    ApplyLoggingSettings(record);
    ReviewLogFolder(record, read.findings);
    ReportSettingsFindings(path, read.findings);
    LogApiEvent(LogLevel::Info, "settings.watcher.reloaded", "Settings file changed, applied new logging configuration",
                {{"log_level", record.log_level},
                 {"log_file_name", record.log_file_name},
                 {"max_log_size_mb", record.max_log_size_mb},
                 {"max_log_files", record.max_log_files}});

    bool changed = false;
    {
        std::lock_guard<std::mutex> lock(settingsMutex);
        changed = ConnectionSettingsDiffer(settings, record);
        settings = record;
    }
    if (!changed) return;

    LogApiEvent(LogLevel::Info, "settings.watcher.reconnect", "Connection settings changed, reconnecting",
                {{"hostname", record.hostname}, {"port", record.port}, {"client_id", record.client_id}});
    connection.Close();
    for (std::int32_t panel : PanelIdsSnapshot()) {
        if (!watcherRunning.load()) return;
        EnsureServerConnection(panel);
    }
}

// Everything that runs on a thread of its own stops, and the transport closes.
// Runs on ordinary code paths (the last panel closed, the module about to be
// unloadable), never under the loader lock. A later TLYAPI_Open starts afresh.
void TLYApiImpl::StopBackgroundWork() {
    StopSettingsWatcher();
    activities.StopWorker();
    connection.Close();
}
