#pragma once
// Watches "tallyport_settings.json" and hands every edit that loads to its
// owner. A thread of its own looks at the file's write time whenever the
// folder changes (every 30 seconds where change notification is not
// available); an edit that loads goes through the same steps as the first
// load (UseLoadedSettings), and the record is handed to onReloaded. An
// edit that does not load leaves the settings in force and says why.
//
// It owns the run under way (a thread and the event that stops it) and one
// lock, lock_, which serialises Start and Stop, takes only the log's under it
// and is never held while waiting: Stop takes the run out under it, then
// signals and waits for the thread without it, so a Stop can wait for a
// reload in progress, up to its time-out; a run it gives up on shares its
// stop event with its thread and is kept (ThreadAlive) until it ends. Each run's
// thread waits on its own stop event, so a Start that races a Stop begins a
// run of its own and never revives the one being stopped. onReloaded runs on
// the watcher's thread with no lock of the watcher held, and must not call Stop.

#include "platform/ModuleThread.h"
#include "platform/Mutex.h"
#include "platform/UniqueResource.h"
#include "settings/TranslatorSettings.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>
#include <string>

class SettingsWatcher {
public:
    using Reloaded = std::function<void(const TranslatorSettings& record)>;
    explicit SettingsWatcher(Reloaded onReloaded) : onReloaded_(std::move(onReloaded)) {}
    ~SettingsWatcher() { Stop(); }
    SettingsWatcher(const SettingsWatcher&) = delete;
    SettingsWatcher& operator=(const SettingsWatcher&) = delete;

    // loadedWriteTime: the write time of the file the settings in force came
    // from (0: none); a file with another time is loaded at once. A watcher
    // already running is left as it is.
    void Start(const std::string& path, std::uint64_t loadedWriteTime) TLY_EXCLUDES(lock_);
    // Stops the watcher and waits up to timeoutMs for its thread; false (and
    // a line) when the thread is still finishing a reload then.
    bool Stop(DWORD timeoutMs = INFINITE) TLY_EXCLUDES(lock_);
    bool Running() const { return running_.load(); }
    // Whether a thread of the watcher may still run, one a stop gave up on included.
    bool ThreadAlive() const TLY_EXCLUDES(lock_);

    // How many times the watcher has looked at the file's write time: a test
    // waits for the next look rather than for a stretch of time.
    std::uint64_t LooksTaken() const { return looks_.load(); }

private:
    // One run of the watcher: its thread and the event that stops it.
    struct Run {
        tly::UniqueHandle stop;
        tly::ModuleThread thread;
        std::atomic<bool> ended{false};
    };

    void Body(const std::string& path, std::uint64_t loadedWriteTime, HANDLE stop);
    static bool WaitForChange(const tly::UniqueChangeNotification& notification, HANDLE stop);
    static bool PauseUnlessStopped(DWORD milliseconds, HANDLE stop);
    void Reload(const std::string& path);
    void ForgetEndedRuns() TLY_REQUIRES(lock_);

    const Reloaded onReloaded_;
    mutable tly::Mutex lock_;  // serialises Start and Stop; only the log's under it
    std::shared_ptr<Run> run_ TLY_GUARDED_BY(lock_);
    // Runs a stop gave up waiting for, until seen ended.
    std::vector<std::shared_ptr<Run>> lingering_ TLY_GUARDED_BY(lock_);
    std::atomic<bool> running_{false};  // started and not being stopped
    std::atomic<std::uint64_t> looks_{0};
};
