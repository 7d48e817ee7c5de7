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
// No lock is held while a run calls back into the translator, which may call
// the API again; a nested request simply finds the gate closed and is served
// by the run under way.

#include "api/HostCallBudget.h"
#include "api/TLYApiImpl.h"
#include "logging/Log.h"
#include "logging/RepeatedLines.h"

#include <windows.h>

// Lets go of the run gate; a close that found the run under way left the
// transport for the run to close.
class TLYApiImpl::GateRelease {
public:
    explicit GateRelease(TLYApiImpl& api) : api_(api) {}
    ~GateRelease() {
        api_.fetchInProgress.store(false);
        if (api_.closeTransportAfterRun.exchange(false)) api_.CloseTransportIfUnused();
    }
    GateRelease(const GateRelease&) = delete;
    GateRelease& operator=(const GateRelease&) = delete;

private:
    TLYApiImpl& api_;
};

void TLYApiImpl::FetchAndProcessPendingActivities() {
    refetchRequested.store(true);
    TryRunActivities(nullptr);
    // Requests the passes above did not serve, or that came in while another
    // thread held the gate and has since let it go, go to the worker.
    if (refetchRequested.load()) WakeActivityWorker();
}

void TLYApiImpl::OnActivitiesAvailable() {
    if (IsLogLevelEnabled(LogLevel::Debug)) {
        LogApiEvent(LogLevel::Debug, "activities.notification", "Received activities_available notification");
    }
    refetchRequested.store(true);
    if (fetchInProgress.load()) {
        LogApiEvent(LogLevel::Debug, "activities.coalesced", "Already fetching — will re-fetch when done");
    }
    WakeActivityWorker();
}

// False when another thread holds the gate; that thread serves the request.
// A host thread (workerStopping null) makes at most two passes, its own and
// one for requests made meanwhile, within its call's time budget. The worker
// goes on while requests come, until it is stopped.
bool TLYApiImpl::TryRunActivities(const std::atomic<bool>* workerStopping) {
    bool expected = false;
    if (!fetchInProgress.compare_exchange_strong(expected, true)) return false;
    const GateRelease release(*this);
    for (int pass = 0; (workerStopping ? !workerStopping->load() : pass < 2 && !HostCallBudget::Exhausted()) &&
                       refetchRequested.exchange(false);
         ++pass) {
        RunPendingActivities();
    }
    return true;
}

void TLYApiImpl::WakeActivityWorker() {
    const bool anyPanelOpen = ActivePanelCount() > 0;
    std::lock_guard<std::mutex> lock(activityWorkerMutex);
    if (!activityWorker) {
        // Nothing to serve without an open panel; the next request starts it.
        if (!anyPanelOpen) return;
        auto worker = std::make_shared<ActivityWorker>();
        worker->wake.reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
        liveActivityWorkers.fetch_add(1);
        if (!worker->wake || !worker->thread.Start([this, worker] { ActivityWorkerThread(*worker); })) {
            liveActivityWorkers.fetch_sub(1);
            LogApiEvent(LogLevel::Error, "activities.worker_start_failed", "Could not start the activity worker",
                        {{"win32_error", static_cast<std::int64_t>(::GetLastError())}});
            return;
        }
        activityWorker = std::move(worker);
    }
    ::SetEvent(activityWorker->wake.get());
}

// True when the worker ended within the time. A run in progress stops before
// its next pass. A worker that does not end in time (a call-back that blocks,
// a server that does not answer) is left to end on its own: it holds the
// module and its own events, and its run closes the transport when it ends
// (CloseTransportAfterRuns). A host that closes its last panel from inside a
// delivery on the worker itself is not waited for (Join returns at once).
bool TLYApiImpl::StopActivityWorker(DWORD timeoutMs) {
    std::shared_ptr<ActivityWorker> worker;
    {
        std::lock_guard<std::mutex> lock(activityWorkerMutex);
        worker = std::move(activityWorker);
    }
    if (!worker) return true;
    worker->stopping.store(true);
    ::SetEvent(worker->wake.get());
    return worker->thread.Join(timeoutMs);
}

// The transport is closed now if no run uses it, else by the run when it
// ends: a run never meets a closed transport. Exactly one of the two closes
// (both sides write their flag before reading the other's).
bool TLYApiImpl::CloseTransportAfterRuns() {
    closeTransportAfterRun.store(true);
    if (fetchInProgress.load()) return false;
    if (closeTransportAfterRun.exchange(false)) CloseTransportIfUnused();
    return true;
}

void TLYApiImpl::ActivityWorkerThread(ActivityWorker& worker) {
    while (::WaitForSingleObject(worker.wake.get(), INFINITE) == WAIT_OBJECT_0 && !worker.stopping.load()) {
        // Whoever holds the gate wakes the worker again on letting it go if a
        // request is still open, so the worker can give up when it is closed.
        while (!worker.stopping.load() && refetchRequested.load() && TryRunActivities(&worker.stopping)) {
        }
    }
    liveActivityWorkers.fetch_sub(1);
}

void TLYApiImpl::RunPendingActivities() {
    const bool hasBadgeCallback = badgeActivityCallback.load() != nullptr;
    const bool restReady = restClient.IsInitialized();
    // Written at every status request: at info only while it changes, or once
    // in a while, so a healthy site's log keeps days (every one at debug).
    tly::LogRoutine(LogLevel::Info, "tly_api", "activities.fetch_entry", "FetchAndProcessPendingActivities called",
                    {{"has_callback", hasBadgeCallback}, {"rest_ready", restReady}}, "activities.fetch_entry");
    if (!hasBadgeCallback && !alarmEventCallback.load()) {
        LogApiEvent(LogLevel::Warn, "activities.no_callback", "No activity callbacks set, skipping");
        return;
    }
    if (!restReady) {
        LogApiEvent(LogLevel::Warn, "activities.not_connected", "REST client not ready, skipping activity fetch");
        return;
    }
    const std::vector<std::int32_t> panels = PanelIdsSnapshot();
    if (panels.empty()) {
        LogApiEvent(LogLevel::Warn, "activities.no_panels", "No panels registered, skipping activity fetch");
        return;
    }

    // Each run starts with the next panel, so a run cut short by its time
    // budget never leaves the same panels last every time.
    const size_t first = nextRunFirstPanel.fetch_add(1) % panels.size();
    std::int64_t processed = 0;
    for (size_t i = 0; i < panels.size(); ++i) {
        if (HostCallBudget::Exhausted()) {
            refetchRequested.store(true);  // the worker serves the rest
            break;
        }
        ProcessPanelActivities(panels[(first + i) % panels.size()], processed);
    }
    if (processed > 0) {
        LogApiEvent(LogLevel::Info, "activities.batch_complete", "Finished processing activities",
                    {{"total_processed", processed}});
    }
}
