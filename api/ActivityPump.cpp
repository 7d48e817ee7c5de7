// Who runs pending-activity fetches, and when. Every run goes through one
// gate, so two runs never fetch and deliver the same batch at once.
//
// - A host call (the fetch export, an initial data load) runs on its own
//   thread: its own run, plus at most one more for requests made meanwhile.
//   Whatever is asked after that is left to the activity worker, so a storm of
//   notifications never keeps a host thread inside this module.
// - A notification only records the request and wakes the activity worker: the
//   channel's receive thread goes straight back to reading, so reader
//   notifications never wait behind a run.
// - A status request never runs or waits: it answers from the site model and,
//   when its panel's list is due, leaves the run to the worker; one run serves
//   every panel due by the time it starts.
// No lock is held while a run calls back into the translator, which may call
// the API again; a nested request simply finds the gate closed and is served
// by the run under way.

#include "api/ActivityPump.h"

#include "api/HostCallBudget.h"
#include "logging/Log.h"
#include "logging/RepeatedLines.h"
#include "platform/Clock.h"

#include <windows.h>

#include <algorithm>
#include <exception>

namespace {

constexpr char kApiComponent[] = "tly_api";
// The worker's lines that repeat while it keeps failing, by their repeated
// lines' keys (logging/RepeatedLines.h).
constexpr char kWorkerPassFailedKey[] = "tly_api/activities.worker_pass_failed";
constexpr char kWorkerRestartedKey[] = "tly_api/activities.worker_restarted";

// Never throws: it runs in the handler of the failure it reports.
void ReportWorkerPassFailed(const char* exceptionText) noexcept {
    try {
        const LogFields fields{{"exception", exceptionText}};
        tly::LogRepeatedFailure(LogLevel::Error, kApiComponent, "activities.worker_pass_failed",
                                "Activity worker pass failed; the worker waits for the next request", fields,
                                kWorkerPassFailedKey);
    } catch (...) {
        // out of memory even for the line: the worker goes on all the same
    }
}

}  // namespace

// Lets go of the run gate; a close that found the run under way left the
// transport for the run to close.
class ActivityPump::GateRelease {
public:
    explicit GateRelease(ActivityPump& pump) : pump_(pump) {}
    ~GateRelease() {
        pump_.gate_.Leave();
        if (pump_.closeTransportAfterRun_.exchange(false)) pump_.closeTransportIfUnused_();
    }
    GateRelease(const GateRelease&) = delete;
    GateRelease& operator=(const GateRelease&) = delete;

private:
    ActivityPump& pump_;
};

void ActivityPump::RunOnHostThread() {
    gate_.Ask(ActivityRunGate::Urgency::AllPanels);
    TryRun(nullptr);
    // Requests the passes above did not serve, or that came in while another
    // thread held the gate and has since let it go, go to the worker.
    if (gate_.Asked()) WakeWorker();
}

void ActivityPump::Notify() {
    if (IsLogLevelEnabled(LogLevel::Debug)) {
        LogApiEvent(LogLevel::Debug, "activities.notification", "Received activities_available notification");
    }
    gate_.Ask(ActivityRunGate::Urgency::AllPanels);
    if (gate_.UnderWay()) {
        LogApiEvent(LogLevel::Debug, "activities.coalesced", "Already fetching — will re-fetch when done");
    }
    WakeWorker();
}

void ActivityPump::AskForPanelStatus(std::int32_t panelId, bool channelUp) {
    {
        tly::MutexLock guard(dueLock_);
        const std::uint32_t now = gate_.Now();
        if (channelUp) {
            const auto asked = listAskedAt_.find(panelId);
            // Unsigned subtraction measures across a wrap of the tick count.
            if (asked != listAskedAt_.end() && now - asked->second + kSafetyNetSlackMs < kSafetyNetIntervalMs) return;
        }
        listAskedAt_[panelId] = now;
        // Already due: the run that was asked for then serves it.
        if (!duePanels_.insert(panelId).second) return;
    }
    gate_.Ask(ActivityRunGate::Urgency::DuePanels);
    WakeWorker();
}

void ActivityPump::AskAgainFor(std::int32_t panelId) {
    {
        tly::MutexLock guard(dueLock_);
        duePanels_.insert(panelId);
    }
    gate_.Ask(ActivityRunGate::Urgency::DuePanels);
}

// The panels due for this pass. A pass over every panel serves the due ones
// too, and counts as their list asked for.
std::set<std::int32_t> ActivityPump::TakeDuePanels(bool allPanels) {
    tly::MutexLock guard(dueLock_);
    std::set<std::int32_t> due;
    due.swap(duePanels_);
    if (allPanels) {
        const std::uint32_t now = gate_.Now();
        for (const std::int32_t panelId : panels_.Snapshot()) listAskedAt_[panelId] = now;
    }
    return due;
}

// False when another thread holds the gate; that thread serves the request.
// A host thread (workerStopping null) makes at most two passes, its own and
// one for requests made meanwhile, within its call's time budget. The worker
// goes on while requests come, until it is stopped.
bool ActivityPump::TryRun(const std::atomic<bool>* workerStopping) {
    if (!gate_.TryEnter()) return false;
    const GateRelease release(*this);
    for (int pass = 0; workerStopping ? !workerStopping->load() : pass < 2 && !HostCallBudget::Exhausted(); ++pass) {
        const ActivityRunGate::Pass which = gate_.TakeRequestForPass();
        if (which == ActivityRunGate::Pass::None) break;
        if (workerStopping) {
            if (void (*hook)() = workerPassHook_.load()) hook();  // tests only: may throw
        }
        RunPass(which);
    }
    return true;
}

bool ActivityPump::RunPass(ActivityRunGate::Pass pass) {
    const bool allPanels = pass == ActivityRunGate::Pass::AllPanels;
    const std::set<std::int32_t> due = TakeDuePanels(allPanels);
    if (allPanels) return RunOpenPanels(nullptr);
    return !due.empty() && RunOpenPanels(&due);
}

// Starts the worker if there is none, or none whose thread still runs: a
// worker whose thread ended without a stop (its wait failed) serves nothing
// more, so the request that finds it so starts another in its place, and
// says so. The ended one's thread has let go of everything but its own share.
void ActivityPump::WakeWorker() {
    const bool anyPanelOpen = panels_.Count() > 0;
    bool restarted = false;
    {
        tly::MutexLock lock(workerLock_);
        if (!worker_ || worker_->ended.load()) {
            // Nothing to serve without an open panel; the next request starts it.
            if (!anyPanelOpen) return;
            auto worker = std::make_shared<Worker>();
            worker->restarted = worker_ != nullptr;
            worker->wake.reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
            liveWorkers_.fetch_add(1);
            if (!worker->wake || !worker->thread.Start([this, worker] {
                    // Whichever way the body ends, the worker counts as ended.
                    struct Ended {
                        ActivityPump& pump;
                        Worker& worker;
                        ~Ended() {
                            worker.ended.store(true);
                            pump.liveWorkers_.fetch_sub(1);  // the last touch of the pump
                        }
                    } ended{*this, *worker};
                    WorkerBody(*worker);
                })) {
                liveWorkers_.fetch_sub(1);
                // An ended worker, if any, stays in place: the next request tries again.
                LogApiEvent(LogLevel::Error, "activities.worker_start_failed", "Could not start the activity worker",
                            {{"win32_error", static_cast<std::int64_t>(::GetLastError())}});
                return;
            }
            restarted = worker->restarted;
            worker_ = std::move(worker);
        }
        ::SetEvent(worker_->wake.get());
    }
    if (restarted) {
        // Written in full once; while workers keep ending, at debug with a
        // summary a minute (logging/RepeatedLines.h). A pass that succeeds
        // ends the run.
        try {
            const LogFields fields{{"thread", "activity_worker"}};
            tly::LogRepeatedFailure(LogLevel::Warn, kApiComponent, "activities.worker_restarted",
                                    "The activity worker's thread had ended; started it again", fields,
                                    kWorkerRestartedKey);
        } catch (...) {
            // out of memory: the new worker serves all the same
        }
    }
}

bool ActivityPump::EndWorkerForTesting() {
    std::shared_ptr<Worker> worker;
    {
        tly::MutexLock lock(workerLock_);
        worker = worker_;
    }
    if (!worker) return false;
    worker->endForTesting.store(true);
    ::SetEvent(worker->wake.get());
    return worker->thread.Join(10000);
}

// True when the worker ended within the time. A run in progress stops before
// its next pass. A worker that does not end in time (a call-back that blocks,
// a server that does not answer) is left to end on its own: it holds the
// module and its own events, and its run closes the transport when it ends
// (CloseTransportAfterRuns). A host that closes its last panel from inside a
// delivery on the worker itself is not waited for (Join returns at once).
bool ActivityPump::StopWorker(DWORD timeoutMs) {
    std::shared_ptr<Worker> worker;
    {
        tly::MutexLock lock(workerLock_);
        worker = std::move(worker_);
    }
    if (!worker) return true;
    worker->stopping.store(true);
    ::SetEvent(worker->wake.get());
    return worker->thread.Join(timeoutMs);
}

// The transport is closed now if no run uses it, else by the run when it
// ends: a run never meets a closed transport. Exactly one of the two closes
// (both sides write their flag before reading the other's).
bool ActivityPump::CloseTransportAfterRuns() {
    closeTransportAfterRun_.store(true);
    if (gate_.UnderWay()) return false;
    if (closeTransportAfterRun_.exchange(false)) closeTransportIfUnused_();
    return true;
}

// One pass of the worker's loop: a wake-up, then the requests it finds. A
// pass that throws (memory running out in a huge answer, say) is logged and
// the worker waits for its next wake-up as after any pass: the gate was let
// go as the exception left the run, the request it had taken is dropped, and
// any request made meanwhile woke the worker again. So a pass that fails
// every time fails once per request, never in a loop of its own.
void ActivityPump::WorkerBody(Worker& worker) {
    // Since a failure (or this worker's start in place of an ended one): the
    // next pass that succeeds ends the repeated lines' run.
    bool failing = worker.restarted;
    const auto goOn = [&worker] { return !worker.stopping.load() && !worker.endForTesting.load(); };
    // The stop is looked at before each wait as well as after it: a stop
    // that came while a pass ran finds the worker gone, not waiting.
    while (goOn() && ::WaitForSingleObject(worker.wake.get(), INFINITE) == WAIT_OBJECT_0 && goOn()) {
        bool failed = true;
        try {
            ServeRequests(worker);
            failed = false;
        } catch (const std::exception& e) {
            ReportWorkerPassFailed(e.what());
        } catch (...) {
            ReportWorkerPassFailed("unknown exception (not a std::exception)");
        }
        if (failed) {
            failing = true;
        } else if (failing) {
            failing = false;
            tly::EndRepeatedFailures(kWorkerPassFailedKey);
            tly::EndRepeatedFailures(kWorkerRestartedKey);
        }
    }
}

void ActivityPump::ServeRequests(Worker& worker) {
    // Whoever holds the gate wakes the worker again on letting it go if a
    // request is still open, so the worker can give up when it is closed.
    while (!worker.stopping.load() && gate_.Asked()) {
        if (!TryRun(&worker.stopping)) break;
    }
}

// True when the pass took something: marked activities on the server.
// onlyThese: the due panels of a status-started pass (those still open);
// null for every open panel.
bool ActivityPump::RunOpenPanels(const std::set<std::int32_t>* onlyThese) {
    const bool hasBadgeCallback = badgeCallback_.load() != nullptr;
    const bool restReady = rest_.IsInitialized();
    // Written at every status request: at info only while it changes, or once
    // in a while, so a healthy site's log keeps days (every one at debug).
    tly::LogRoutine(LogLevel::Info, "tly_api", "activities.fetch_entry", "RunOnHostThread called",
                    {{"has_callback", hasBadgeCallback}, {"rest_ready", restReady}}, "activities.fetch_entry");
    if (!hasBadgeCallback && !alarmCallback_.load()) {
        LogApiEvent(LogLevel::Warn, "activities.no_callback", "No activity callbacks set, skipping");
        return false;
    }
    if (!restReady) {
        LogApiEvent(LogLevel::Warn, "activities.not_connected", "REST client not ready, skipping activity fetch");
        return false;
    }
    std::vector<std::int32_t> open = panels_.Snapshot();
    if (onlyThese) {
        open.erase(std::remove_if(open.begin(), open.end(),
                                  [onlyThese](std::int32_t panelId) { return onlyThese->count(panelId) == 0; }),
                   open.end());
        if (open.empty()) return false;  // closed since they were due
    }
    if (open.empty()) {
        LogApiEvent(LogLevel::Warn, "activities.no_panels", "No panels registered, skipping activity fetch");
        return false;
    }
    if (!JournalReady()) return false;  // logged by the journal

    // Each run starts with the next panel, so a run cut short by its time
    // budget never leaves the same panels last every time.
    const size_t first = nextRunFirstPanel_.fetch_add(1) % open.size();
    std::int64_t processed = 0;
    for (size_t i = 0; i < open.size(); ++i) {
        if (HostCallBudget::Exhausted()) {
            gate_.Ask(ActivityRunGate::Urgency::AllPanels);  // the worker serves the rest
            break;
        }
        RunPanel(open[(first + i) % open.size()], processed);
    }
    if (processed == 0) return false;
    LogApiEvent(LogLevel::Info, "activities.batch_complete", "Finished processing activities",
                {{"total_processed", processed}});
    return true;
}

ActivityPump::ActivityPump(PanelRegistry& panels, TLYRestClient& rest, std::function<void()> closeTransportIfUnused)
    : panels_(panels),
      rest_(rest),
      closeTransportIfUnused_(std::move(closeTransportIfUnused)),
      gate_([] { return tly::CurrentClock().TickCount(); }) {}

ActivityPump::~ActivityPump() { StopWorker(); }

void ActivityPump::OpenJournal(const std::string& directory) {
    std::optional<DeliveryJournal::StartReport> report = journal_.Open(directory);
    if (!report) return;
    for (const auto& taken : report->taken) ledger_.Taken(taken.first, taken.second);
}

// A journal another process still holds is asked for again at each run; until
// it is ours, nothing is delivered (what that process took and has not marked
// is known only from the journal).
bool ActivityPump::JournalReady() {
    if (!journal_.WaitingForOwner()) return true;
    std::optional<DeliveryJournal::StartReport> report = journal_.TakeOverIfFree();
    if (!report) return !journal_.WaitingForOwner();
    for (const auto& taken : report->taken) ledger_.Taken(taken.first, taken.second);
    return true;
}
