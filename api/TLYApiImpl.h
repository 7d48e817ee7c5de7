#pragma once
// The process-wide native layer behind the TLYAPI_* exports: a thin front
// that composes the parts below and answers the exports. Each part owns its
// state and its lock:
//
//   settings      SettingsInForce     the record in force
//   lastError     LastErrorText       the text TLYAPI_GetLastErrorMessage copies
//   panels        PanelRegistry       open panels, deliveries under way
//   transitions   ReaderTransitionQueues  readers gone online / offline per panel
//   site          SiteModel           doors, handhelds, readers, connected handhelds
//   connection    ServerConnection    REST client, event channel, health tick
//   siteLoader    SiteLoader          loads the site into the model
//   activities    ActivityPump        run gate, worker, ledger, journal, call-backs
//   panelLinks    PanelLinkLog        each panel's lost / restored lines
//   status        LiveStatus          the live status file beside the log
//   watcher       SettingsWatcher     reloads the settings file on an edit
//
// Lock order. An arrow means the lock on the right may be taken while the
// one on the left is held; there is no other nesting and no cycle:
//
//   connection.lock_ ─► the REST client's, the channel's lifecycle lock,
//                       settings.lock_, panels.lock_, the journal's
//   siteLoader.sharedLoadLock_ ─► the REST client's, site.lock_ ─► transitions.lock_
//   the two at the top, the channel's lifecycle lock, settings.lock_,
//   transitions.lock_, the journal's, watcher.lock_, the worker's ─► the log's
//   settings.lock_, the log's ─► the module folder's (a test's stand-in)
//   status.publishLock_ ─► panels.lock_, panelLinks', the delivery counters',
//                       the journal's, status.lock_, the log's (taken by a
//                       host call with no other lock held)
//
// The rest are leaves, taken under any of these: lastError, the REST client's,
// panels.lock_, panelLinks', status.lock_, the delivery counters', the
// ledger's, the reported-once sets', the pump's due panels',
// settingsLoadedLock_, the thumbprint cache's, the repeated lines', the
// channel's state queue and last-message locks, the Event Log's attention
// rules' and its writer's (logging/AttentionEvents.h, logging/EventLog.h;
// under the journal's when a start finds activities held back or the journal
// damaged). Each lock names what it guards and each method the locks
// it needs or must not hold (platform/ThreadSafety.h): clang checks every
// access, and the order of two locks one function takes. An arrow that goes
// through a call into another part is checked by no compiler; this list is
// kept true by hand. The two at the top are held across REST requests (the
// connection's token, /status and channel upgrade; the shared site load). No
// lock is held while a call-back into the translator runs, nor while a thread
// is waited for.

#include "api/ActivityPump.h"
#include "api/LastErrorText.h"
#include "api/LiveStatus.h"
#include "api/PanelLinkLog.h"
#include "api/PanelRegistry.h"
#include "api/ReaderTransitionQueues.h"
#include "api/ServerConnection.h"
#include "api/SiteLoader.h"
#include "api/SiteModel.h"
#include "api/TLYApi.h"
#include "logging/DataDirectory.h"
#include "platform/Mutex.h"
#include "settings/SettingsInForce.h"
#include "settings/SettingsWatcher.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class DeliveryPanelScope;

class TLYApiImpl {
public:
    static TLYApiImpl& Instance();

    // Frees the instance when the module is unloaded (not at process exit),
    // provided StopBackgroundWork has left nothing running.
    static void DestroyAtUnload();

    TLYApiImpl();
    ~TLYApiImpl();
    TLYApiImpl(const TLYApiImpl&) = delete;
    TLYApiImpl& operator=(const TLYApiImpl&) = delete;

    // Last error text, copied out by TLYAPI_GetLastErrorMessage.
    void SetLastError(const std::string& text);
    void ClearLastError();
    std::string GetLastError() const;

    // Panel registry. Only TLYAPI_Open registers a panel and only
    // TLYAPI_Close unregisters it; activities are fetched for these alone.
    void RegisterPanel(std::int32_t panelId);
    void UnregisterPanel(std::int32_t panelId);
    bool IsPanelOpen(std::int32_t panelId) const;
    std::int32_t ActivePanelCount() const;
    std::vector<std::int32_t> PanelIdsSnapshot() const;

    // Settings.
    bool LoadSettings();
    TranslatorSettings SettingsSnapshot() const;
    bool IsBadgeEventFileEnabled() const;

    // The settings watcher thread, and stopping everything that runs on its
    // own thread before the module may be unloaded. The watcher reloads the
    // file when its write time differs from loadedWriteTime, the time of the
    // file the settings in force were read from (0: none).
    // A watcher whose thread ended without a stop is started again by the
    // next Start, and by the host calls that use the settings: a panel's
    // connect and the health tick (RestartSettingsWatcherIfEnded).
    void StartSettingsWatcher(std::uint64_t loadedWriteTime);
    void StopSettingsWatcher(DWORD timeoutMs = INFINITE);
    void RestartSettingsWatcherIfEnded() { watcher.RestartIfEnded(); }
    bool SettingsWatcherRunning() const { return watcher.Running(); }
    std::uint64_t SettingsWatcherLooksForTesting() const { return watcher.LooksTaken(); }
    void SetSettingsWatcherPassHookForTesting(void (*hook)()) { watcher.SetPassHookForTesting(hook); }
    bool EndSettingsWatcherRunForTesting() { return watcher.EndRunForTesting(); }
    bool ServerSessionOpenForTesting() const { return connection.RestReady(); }
    void StopBackgroundWork();

    // The shared server connection: brought up for the panel if it is not
    // up yet (TLYAPI_Connect); a panel's close stops everything when it was
    // the last.
    bool EnsureServerConnection(std::int32_t panelId);
    void Disconnect(std::int32_t panelId);
    // Logs a change of the panel's link, as the connection check just answered it.
    void NotePanelLink(std::int32_t panelId, bool up);
    // Why the last failed request to the server failed.
    TransportTrouble LastTransportTrouble() const { return connection.LastTrouble(); }
    void ForgetPanelLinksForTesting() { panelLinks.ForgetAll(); }
    void ForgetTokenRefusalsForTesting() { connection.Rest().ForgetTokenRefusalsForTesting(); }
    bool CheckConnection();
    // Writes the live status beside the log when it is due (api/LiveStatus.h):
    // asked at every connection check and status request of the host.
    void PublishStatusIfDue() { status.PublishIfDue(DataDirectory()); }
    StatusReport StatusForTesting() { return status.Compose(); }
    // A certificate pinned on first use goes into the record and the file once.
    void SavePinnedThumbprint() { connection.SavePinIfTaken(); }

    // Site data.
    bool GetInitialData(std::int32_t panelId);

    // Pending activities. A host thread performs at most its own run and one
    // more for requests made meanwhile; notifications are served by the
    // activity worker thread, never on the channel's receive thread.
    void FetchAndProcessPendingActivities() { activities.RunOnHostThread(); }
    void OnActivitiesAvailable() { activities.Notify(); }
    const RedeliveryLedger& LedgerForTesting() const { return activities.LedgerForTesting(); }
    // Test seams of the activity worker (see ActivityPump).
    void SetActivityWorkerPassHookForTesting(void (*hook)()) { activities.SetWorkerPassHookForTesting(hook); }
    bool EndActivityWorkerForTesting() { return activities.EndWorkerForTesting(); }
    void SetMostUnmarkedForTesting(std::uint32_t most) { activities.SetMostUnmarkedForTesting(most); }
    // Opens the delivery journal beside the settings file (TLYAPI_Open) and
    // takes in what it remembers; closed with the last panel.
    void OpenDeliveryJournal();

    // Real-time notifications from the WebSocket channel.
    void OnWebSocketMessage(const std::string& text);
    void OnWebSocketStateChanged(bool connected);

    // Reader transition queues and the online snapshot.
    void MarkReaderOnline(const std::string& externalId) { readerTransitions.Queue(externalId, true); }
    void MarkReaderOffline(const std::string& externalId) { readerTransitions.Queue(externalId, false); }
    void GetReadersGoneOnline(std::int32_t panelId, ReaderStatusList* list) {
        readerTransitions.Drain(panelId, true, list);
    }
    void GetReadersGoneOffline(std::int32_t panelId, ReaderStatusList* list) {
        readerTransitions.Drain(panelId, false, list);
    }
    // Reloads the site (see SiteLoader::LoadForStatus), runs the pending
    // activities, then hands over the panel's online readers.
    void ReloadAndListOnlineReaders(std::int32_t panelId, ReaderStatusList* list);

    // Test seam: installs a site picture without a server.
    void ReplaceSiteForTesting(std::vector<DoorInfo> newDoors, std::vector<HandheldInfo> newHandhelds,
                               std::vector<ReaderInfo> newReaders, std::vector<HandheldInfo> newConnected);
    std::vector<HandheldInfo> ConnectedReadersSnapshot();
    double SecondsSinceLastWebSocketMessage() const { return connection.SecondsSinceLastMessage(); }

    // Call-backs into the translator; null turns one off.
    void SetBadgeActivityCallback(BadgeActivityCallback callback) { activities.SetBadgeCallback(callback); }
    void SetAlarmEventCallback(AlarmEventCallback callback) { activities.SetAlarmCallback(callback); }

private:
    void SaveTakenPin(const std::string& thumbprint);
    void UsePinFromFile(const std::optional<std::string>& pin);
    void OnSettingsEdited(const TranslatorSettings& record);
    // The transport and the delivery journal close only when no panel is open.
    void CloseTransportIfUnused();

    // Deliveries under way per panel, so a close can wait for them.
    void WaitForPanelDeliveries(std::int32_t panelId);

    SettingsInForce settings;
    // The settings file whose settings a load put in force: a later open
    // that finds that file broken keeps them. A leaf lock.
    tly::Mutex settingsLoadedLock_;
    std::string settingsLoadedFrom_ TLY_GUARDED_BY(settingsLoadedLock_);
    bool InForceFromFile(const std::string& path) TLY_EXCLUDES(settingsLoadedLock_);
    LastErrorText lastError;
    PanelRegistry panels;
    ReaderTransitionQueues readerTransitions;
    SiteModel site{readerTransitions};
    ServerConnection connection{lastError, [this](const std::string& thumbprint) { SaveTakenPin(thumbprint); },
                                [this](const std::string& text) { OnWebSocketMessage(text); },
                                [this](bool connected) { OnWebSocketStateChanged(connected); }};
    SiteLoader siteLoader{connection.Rest(), site, lastError};
    ActivityPump activities{panels, connection.Rest(), [this] { CloseTransportIfUnused(); }};
    // The lost and restored lines of each panel's link (its own leaf lock).
    PanelLinkLog panelLinks;
    // What the live status is composed from, each part asked in turn.
    StatusSources GatherStatus() const;
    LiveStatus status{[this] { return GatherStatus(); }};
    // Last, so it stops first: its reloads use the parts above.
    SettingsWatcher watcher{[this](const TranslatorSettings& record) { OnSettingsEdited(record); }};
};

