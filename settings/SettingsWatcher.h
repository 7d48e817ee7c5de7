#pragma once
// Watches "tallyport_settings.json" and hands every edit that loads to its
// owner. A thread of its own looks at the file's write time whenever the
// folder changes (every 30 seconds where change notification is not
// available); an edit that loads goes through the same steps as the first
// load (UseLoadedSettings), and the record is handed to onReloaded. An
// edit that does not load leaves the settings in force and says why.
//
// It owns the run under way (a thread and the event that stops it) and one
// lock, lock_, which serialises Start, Stop and RestartIfEnded, takes only the
// log's under it and is never held while waiting: Stop takes the run out
// under it, then signals and waits for the thread without it, so a Stop can
// wait for a reload in progress, up to its time-out (a run that ended by
// itself is let go of the same way); a run it gives up on is shared with its
// thread, keeps its stop event until the thread ends, and counts in
// ThreadAlive till then. Each run's thread waits on its own stop event, so a Start that
// races a Stop begins a run of its own and never revives the one being
// stopped. onReloaded runs on the watcher's thread with no lock of the
// watcher held, and must not call Stop.
//
// The thread never dies of a failure: each pass of its loop (a look at the
// file and the reload it leads to) catches whatever is thrown, logs it, and
// waits for the next change as after any pass. A run whose thread ended all
// the same (a wait failed) is started again by the next Start or
// RestartIfEnded, where it left off.

#include "platform/ModuleThread.h"
#include "platform/Mutex.h"
#include "platform/UniqueResource.h"
#include "settings/TranslatorSettings.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class SettingsWatcher {
public:
    using Reloaded = std::function<void(const TranslatorSettings& record)>;
    explicit SettingsWatcher(Reloaded onReloaded) : onReloaded_(std::move(onReloaded)) {}
    ~SettingsWatcher() { Stop(); }
    SettingsWatcher(const SettingsWatcher&) = delete;
    SettingsWatcher& operator=(const SettingsWatcher&) = delete;

    // loadedWriteTime: the write time of the file the settings in force came
    // from (0: none); a file with another time is loaded at once. A watcher
    // already running is left as it is; one whose thread has ended is
    // replaced (RestartIfEnded), from this path and write time.
    void Start(const std::string& path, std::uint64_t loadedWriteTime) TLY_EXCLUDES(lock_);
    // Stops the watcher and waits up to timeoutMs for its thread; false (and
    // a line) when the thread is still finishing a reload then.
    bool Stop(DWORD timeoutMs = INFINITE) TLY_EXCLUDES(lock_);
    bool Running() const { return running_.load(); }
    // Whether a thread of the watcher may still run, one a stop gave up on included.
    bool ThreadAlive() const TLY_EXCLUDES(lock_);
    // Starts the run again when its thread has ended without a Stop, with the
    // path and write time it had; nothing when it runs or was stopped.
    void RestartIfEnded() TLY_EXCLUDES(lock_);

    // How many times the watcher has looked at the file's write time: a test
    // waits for the next look rather than for a stretch of time.
    std::uint64_t LooksTaken() const { return looks_.load(); }

    // Test seams. The hook runs at the start of each pass, on the watcher's
    // thread, and may throw (null: none; one atomic load in production).
    // EndRunForTesting makes the current run's thread end as a failed wait
    // would, without a Stop, and waits for it: true when it ended.
    void SetPassHookForTesting(void (*hook)()) { passHook_.store(hook); }
    bool EndRunForTesting() TLY_EXCLUDES(lock_);

private:
    // One run of the watcher: its thread and the event that stops it, what
    // it watches, and whether its thread has ended.
    struct Run {
        std::string path;
        // The write time of the file the settings in force came from, as far
        // as the run knows: where a run started again goes on from.
        std::atomic<std::uint64_t> recorded{0};
        bool restarted = false;  // in place of a run whose thread ended; set before its thread starts
        std::atomic<bool> ended{false};  // its body has returned or thrown out; its last touch of the run
        tly::UniqueHandle stop;
        tly::ModuleThread thread;
    };

    // False (logged) when the thread could not be started.
    bool StartRunLocked(const std::string& path, std::uint64_t loadedWriteTime, bool restarted) TLY_REQUIRES(lock_);
    // Starts a new run in place of run_, whose thread has ended; the ended
    // run is handed back, to be let go of with no lock held.
    std::shared_ptr<Run> ReplaceEndedRunLocked(const std::string& path, std::uint64_t loadedWriteTime)
        TLY_REQUIRES(lock_);
    static void LetGoOfEndedRun(std::shared_ptr<Run> ended);
    void ForgetEndedRuns() TLY_REQUIRES(lock_);
    void Body(Run& run);
    void Look(Run& run);
    static bool WaitForChange(const tly::UniqueChangeNotification& notification, HANDLE stop);
    static bool PauseUnlessStopped(DWORD milliseconds, HANDLE stop);
    void Reload(const std::string& path);

    const Reloaded onReloaded_;
    mutable tly::Mutex lock_;  // serialises Start, Stop and RestartIfEnded; only the log's under it
    std::shared_ptr<Run> run_ TLY_GUARDED_BY(lock_);
    // Runs a stop gave up waiting for, until seen ended.
    std::vector<std::shared_ptr<Run>> lingering_ TLY_GUARDED_BY(lock_);
    std::atomic<bool> running_{false};  // started and not being stopped
    std::atomic<std::uint64_t> looks_{0};
    std::atomic<void (*)()> passHook_{nullptr};
};
