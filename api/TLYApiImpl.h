#pragma once
// The process-wide native implementation behind the TLYAPI_* exports. It owns
// the settings, both transport clients, the server's site lists, the open
// panels with their reader transition queues, and the registered call-backs.
//
// Lock order: siteWideReloadMutex first (held across the REST requests of a
// shared reload, never taken with another lock of this class held); then a
// slot of siteListParses (held while a fetched list is parsed and stored); then
// the four list mutexes (connected readers, handhelds, readers, doors), taken
// together by one std::scoped_lock; then the reader transition queues' lock,
// only inside them, never the reverse. settingsMutex and lastErrorMutex guard
// a copy or an assignment and are never held while another lock is taken; so
// are the locks of the panel registry, the ledger, the delivery journal and
// the activity worker, except that the process-wide log's mutex, always
// last, may be taken under any of them (settingsMutex applies the logging
// settings). connectionMutex serialises the transport's lifecycle and is held
// across its requests; under it only those leaf locks are taken. watcherMutex
// is held while the watcher starts or is joined; the watcher's own work never
// takes it. No lock of this class is held while a call-back into the
// translator runs.

#include "api/ActivityPump.h"
#include "api/DeliveryJournal.h"
#include "api/PanelLinkLog.h"
#include "api/PanelRegistry.h"
#include "api/PendingBatch.h"
#include "api/ReaderTransitionQueues.h"
#include "api/RedeliveryLedger.h"
#include "api/LastErrorText.h"
#include "api/ServerConnection.h"
#include "api/SiteLoader.h"
#include "api/SiteModel.h"
#include "api/TLYApi.h"
#include "logging/Log.h"
#include "platform/ConcurrencyLimit.h"
#include "platform/ModuleThread.h"
#include "platform/UniqueResource.h"
#include "settings/TranslatorSettings.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
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
    void StartSettingsWatcher(std::uint64_t loadedWriteTime);
    void StopSettingsWatcher();
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
    bool CheckConnection();
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
    // Opens the delivery journal beside the settings file (TLYAPI_Open) and
    // takes in what it remembers; closed with the last panel.
    void OpenDeliveryJournal();

    // Real-time notifications from the WebSocket channel.
    void OnWebSocketMessage(const std::string& text);
    void OnWebSocketStateChanged(bool connected);

    // Reader transition queues and the online snapshot.
    void MarkReaderOnline(const std::string& externalId);
    void MarkReaderOffline(const std::string& externalId);
    void GetReadersGoneOnline(std::int32_t panelId, ReaderStatusList* list);
    void GetReadersGoneOffline(std::int32_t panelId, ReaderStatusList* list);
    // Reloads the site (see SiteLoader::LoadForStatus), runs the pending
    // activities, then hands over the panel's online readers.
    void GetReadersStatus(std::int32_t panelId, ReaderStatusList* list);

    // Test seam: installs a site picture without a server.
    void ReplaceSiteForTesting(std::vector<DoorInfo> newDoors, std::vector<HandheldInfo> newHandhelds,
                               std::vector<ReaderInfo> newReaders, std::vector<HandheldInfo> newConnected);
    std::vector<HandheldInfo> ConnectedReadersSnapshot();
    double SecondsSinceLastWebSocketMessage() const { return connection.SecondsSinceLastMessage(); }

    // Call-backs into the translator; null turns one off.
    void SetBadgeActivityCallback(BadgeActivityCallback callback) { activities.SetBadgeCallback(callback); }
    void SetAlarmEventCallback(AlarmEventCallback callback) { activities.SetAlarmCallback(callback); }

private:

    void SettingsWatcherThread(std::uint64_t loadedWriteTime);
    bool WaitForSettingsChange(const tly::UniqueChangeNotification& notification);
    bool WatcherSleep(DWORD milliseconds);
    void ReloadSettingsFromWatcher(const std::string& path);
    void SaveTakenPin(const std::string& thumbprint);
    // The transport and the delivery journal close only when no panel is open.
    void CloseTransportIfUnused();

    // Deliveries under way per panel, so a close can wait for them.
    void WaitForPanelDeliveries(std::int32_t panelId);

    TranslatorSettings settings;
    LastErrorText lastError;

    PanelRegistry panels;
    ReaderTransitionQueues readerTransitions;
    SiteModel site{readerTransitions};
    ServerConnection connection{lastError, [this](const std::string& thumbprint) { SaveTakenPin(thumbprint); },
                                [this](const std::string& text) { OnWebSocketMessage(text); },
                                [this](bool connected) { OnWebSocketStateChanged(connected); }};
    SiteLoader siteLoader{connection.Rest(), site, lastError};
    ActivityPump activities{panels, connection.Rest(), [this] { CloseTransportIfUnused(); }};

    mutable std::mutex settingsMutex;


    // The lost and restored lines of each panel's link (its own leaf lock).
    PanelLinkLog panelLinks;

    // The settings watcher; watcherMutex serialises its start and stop.
    std::mutex watcherMutex;
    std::atomic<bool> watcherRunning{false};
    tly::UniqueHandle watcherStop;
    tly::ModuleThread watcherThread;
};

// True when a change between the two records needs a reconnect.
bool ConnectionSettingsDiffer(const TranslatorSettings& a, const TranslatorSettings& b);
