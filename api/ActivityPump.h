#pragma once
// Moves pending activities from the server to the host: fetches each open
// panel's batches, hands every activity to the translator's call-backs, and
// marks on the server exactly what the host took.
//
// It owns the run gate (two runs never deliver the same batch at once), the
// activity worker thread that serves notifications, the redelivery ledger
// and the delivery journal, the deliveries' counters (their lock a leaf), and
// the call-backs. Its own lock, workerLock_,
// guards only which worker is current and is never held while waiting or
// calling out (only the log's is taken under it); the ledger and the journal
// each have a lock of their own (the journal's takes only the log's).
// No lock is held while a call-back runs: the translator may call the API
// again from inside one, and a nested request finds the gate closed and is
// served by the run under way.
//
// The worker never dies of a failure: each pass of its loop (one wake-up, the
// requests it serves) catches whatever is thrown, logs it and waits for the
// next wake-up. A worker whose thread ended all the same (its wait failed) is
// replaced by the next request that needs it (WakeWorker).

#include "api/ActivityCodes.h"
#include "api/ActivityRunGate.h"
#include "api/DeliveryCounters.h"
#include "api/DeliveryJournal.h"
#include "api/PanelRegistry.h"
#include "api/PendingBatch.h"
#include "api/RedeliveryLedger.h"
#include "api/TLYApi.h"
#include "platform/ModuleThread.h"
#include "platform/Mutex.h"
#include "platform/UniqueResource.h"
#include "transport/TLYRestClient.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

class DeliveryPanelScope;

class ActivityPump {
public:
    // closeTransportIfUnused: called when a run ends that a close of the last
    // panel found under way (see CloseTransportAfterRuns).
    ActivityPump(PanelRegistry& panels, TLYRestClient& rest, std::function<void()> closeTransportIfUnused);
    ~ActivityPump();
    ActivityPump(const ActivityPump&) = delete;
    ActivityPump& operator=(const ActivityPump&) = delete;

    // Plain function pointers, set by the translator; null turns one off.
    void SetBadgeCallback(BadgeActivityCallback callback) { badgeCallback_.store(callback); }
    void SetAlarmCallback(AlarmEventCallback callback) { alarmCallback_.store(callback); }

    // On a host thread: its own run plus at most one more for requests made
    // meanwhile, within the host call's time; what is asked after that goes
    // to the worker, so a storm of notifications never keeps a host thread here.
    void RunOnHostThread();
    // A status request: never runs or waits for a run. When the panel's
    // pending list is due it asks the worker for a run that serves every
    // panel due by then. While the event channel is up the server announces
    // new activities itself, and a status-started run is a safety net: due
    // once kSafetyNetIntervalMs has passed since the panel's list was last
    // asked for. While the channel is down every status request makes its
    // panel due at once.
    void AskForPanelStatus(std::int32_t panelId, bool channelUp) TLY_EXCLUDES(dueLock_);
    // A swipe whose notification is lost reaches the host at the panel's
    // next status request after this interval: about two seconds at a host
    // that asks once a second. The slack keeps a host whose second comes a
    // little short (tick granularity, a late run) from skipping every other one.
    static constexpr std::uint32_t kSafetyNetIntervalMs = 1000;
    static constexpr std::uint32_t kSafetyNetSlackMs = 100;
    // A notification: records the request and wakes the worker, so the
    // channel's receive thread goes straight back to reading.
    void Notify();

    // True when the worker ended within the time. A worker that does not end
    // in time is left to end on its own (see the definition).
    bool StopWorker(DWORD timeoutMs = INFINITE) TLY_EXCLUDES(workerLock_);
    bool AnyWorkerAlive() const { return liveWorkers_.load() > 0; }

    // The transport is closed now if no run uses it (true), else by the run
    // when it ends (false): a run never meets a closed transport.
    bool CloseTransportAfterRuns();

    // The journal beside the settings file: opened with a panel, its
    // remembered takings handed to the ledger; closed with the transport.
    void OpenJournal(const std::string& directory);
    void CloseJournal() { journal_.Close(); }
    // False while the journal is owned by another process (it is asked for again).
    bool JournalReady();

    // What the live status shows of the deliveries and the journal.
    const DeliveryCounters& Counters() const { return counters_; }
    DeliveryJournal::Counts JournalCounts() const { return journal_.CountsNow(); }

    const RedeliveryLedger& LedgerForTesting() const { return ledger_; }
    // Test seams. The hook runs on the worker before each run pass it makes,
    // with the gate held and the request taken, and may throw (null: none;
    // one atomic load in production). EndWorkerForTesting makes the current
    // worker's thread end as a failed wait would, without a stop, and waits
    // for it: true when it ended.
    void SetWorkerPassHookForTesting(void (*hook)()) { workerPassHook_.store(hook); }
    void SetMostUnmarkedForTesting(std::uint32_t most) { journal_.SetMostTakenForTesting(most); }
    bool EndWorkerForTesting() TLY_EXCLUDES(workerLock_);

private:
    class GateRelease;
    struct Worker;

    // What delivery adds to an activity as the server sent it.
    struct ActivityContext {
        std::int32_t readerIndex;
        std::uint32_t eventTime;
    };
    // One activity as it goes to the host: which call-back, with what codes
    // and text; Dropped when none takes it (logged, then marked).
    struct PreparedDelivery {
        const PendingActivity* activity;
        ActivityContext context;
        enum Kind { Dropped, Badge, Alarm } kind;
        EventCodes codes;
        std::wstring text;
    };
    enum class Delivery { Handed, Refused, PanelClosed };
    enum class Remark { Unlisted, JournalFull };

    bool TryRun(const std::atomic<bool>* workerStopping);
    bool RunPass(ActivityRunGate::Pass pass);
    std::set<std::int32_t> TakeDuePanels(bool allPanels) TLY_EXCLUDES(dueLock_);
    // A panel whose backlog a run left for later: due again at once.
    void AskAgainFor(std::int32_t panelId) TLY_EXCLUDES(dueLock_);
    void WakeWorker() TLY_EXCLUDES(workerLock_);
    void WorkerBody(Worker& worker);
    void ServeRequests(Worker& worker);
    bool RunOpenPanels(const std::set<std::int32_t>* onlyThese);
    void RunPanel(std::int32_t panelId, std::int64_t& processedCount);
    void ReportMalformed(std::int32_t panelId, const std::vector<MalformedActivity>& malformed);
    PreparedDelivery Prepare(std::int32_t panelId, const PendingActivity& activity, const ActivityContext& context);
    Delivery Deliver(std::int32_t panelId, const PreparedDelivery& prepared, DeliveryPanelScope& scope);
    bool MarkProcessed(std::int32_t panelId, const std::vector<std::int32_t>& ids, bool stopAtFailure = false);
    bool RoomToDeliver(std::int32_t panelId) TLY_EXCLUDES(roomLock_);
    void RemarkTaken(std::int32_t panelId, Remark why) TLY_EXCLUDES(roomLock_);

    PanelRegistry& panels_;
    TLYRestClient& rest_;
    const std::function<void()> closeTransportIfUnused_;

    std::atomic<BadgeActivityCallback> badgeCallback_{nullptr};
    std::atomic<AlarmEventCallback> alarmCallback_{nullptr};

    ActivityRunGate gate_;
    std::atomic<bool> closeTransportAfterRun_{false};  // the last panel closed during a run
    std::atomic<unsigned> nextRunFirstPanel_{0};

    RedeliveryLedger ledger_;
    DeliveryJournal journal_;
    DeliveryCounters counters_;
    // Panels whose delivery waits for room in the journal (journal_full
    // said once, journal_room when it ends), and when each last marked again
    // what it took (RemarkTaken). A leaf.
    tly::Mutex roomLock_;
    std::set<std::int32_t> waitingForRoom_ TLY_GUARDED_BY(roomLock_);
    std::map<std::int32_t, std::uint32_t> lastRemark_ TLY_GUARDED_BY(roomLock_);
    // Panels a status request made due, and when each panel's pending list
    // was last asked for (by a status request or a pass over every panel).
    // A leaf.
    tly::Mutex dueLock_;
    std::set<std::int32_t> duePanels_ TLY_GUARDED_BY(dueLock_);
    std::map<std::int32_t, std::uint32_t> listAskedAt_ TLY_GUARDED_BY(dueLock_);
    ReportedOnce malformedReported_;
    ReportedOnce refusalReported_;

    // Each worker owns its event and thread, shared with its thread body, so
    // a stop can let go of the lock before it waits and a new worker never
    // touches an old one's event.
    struct Worker {
        tly::UniqueHandle wake;
        std::atomic<bool> stopping{false};
        std::atomic<bool> ended{false};  // its body has returned or thrown out
        std::atomic<bool> endForTesting{false};
        bool restarted = false;  // replaces a worker whose thread ended; set before its thread starts
        tly::ModuleThread thread;
    };
    tly::Mutex workerLock_;  // only the log's under it; never held while waiting
    std::shared_ptr<Worker> worker_ TLY_GUARDED_BY(workerLock_);
    std::atomic<int> liveWorkers_{0};  // worker threads not yet ended, stopped ones included
    std::atomic<void (*)()> workerPassHook_{nullptr};
};
