// Panels joining and leaving the shared server connection: the first panel's
// connect brings it up, the health tick keeps it alive for all of them, and
// the last panel's close stops everything that runs on a thread of its own.

#include "api/DeliveryPanel.h"
#include "api/HostCallBudget.h"
#include "api/TLYApiImpl.h"
#include "logging/AttentionEvents.h"
#include "logging/Log.h"

#include <algorithm>

bool TLYApiImpl::EnsureServerConnection(std::int32_t panelId) {
    RestartSettingsWatcherIfEnded();
    return connection.Open(panelId, SettingsSnapshot());
}

void TLYApiImpl::Disconnect(std::int32_t panelId) {
    LogApiEvent(LogLevel::Info, "disconnect.start", "Disconnecting panel from Tallyport", {{"panel_id", panelId}});
    UnregisterPanel(panelId);
    panelLinks.Forget(panelId);
    // No new delivery to the panel starts now; one under way reaches the
    // panel before its close returns.
    WaitForPanelDeliveries(panelId);
    if (ActivePanelCount() > 0) return;  // other panels still use the connection
    // No panel open: nothing left to show (a panel opened again writes it at once).
    status.Withdraw(DataDirectory());

    // With no panel left nothing needs the activity worker or the watcher:
    // stop them on this ordinary path, so the module can be unloaded. The
    // worker gets what is left of the close's time; a run still under way
    // then (a call-back that blocks, a server that does not answer) is left
    // to end on its own and closes the connection when it ends.
    activities.StopWorker(HostCallBudget::RemainingMs());
    if (!activities.CloseTransportAfterRuns()) {
        LogApiEvent(LogLevel::Warn, "close.run_still_under_way",
                    "An activity run is still in a delivery or a request; it closes the connection when it ends",
                    {{"panel_id", panelId}});
    }
    // A reload that reconnects may be waiting on the server: it is given a
    // moment, then left to end on its own (it closes what it brings up).
    constexpr std::uint32_t kWatcherStopWaitMs = 2000;
    StopSettingsWatcher(std::min(kWatcherStopWaitMs, HostCallBudget::RemainingMs()));
}

// Called after the panel was unregistered, so no new delivery can start. A
// host that closes the panel from inside its own sink, while this thread
// delivers to it, is not waited for. The wait is bounded by the close's time
// budget: a sink that blocks on the closing thread must not hang both.
void TLYApiImpl::WaitForPanelDeliveries(std::int32_t panelId) {
    if (CurrentDeliveryPanel() == panelId) return;
    constexpr std::uint32_t kMostWaitMs = 10000;
    if (!panels.WaitForDeliveries(panelId, std::min(kMostWaitMs, HostCallBudget::RemainingMs()))) {
        LogApiEvent(LogLevel::Warn, "close.delivery_wait_timeout", "A delivery to the closing panel is still under way",
                    {{"panel_id", panelId}});
    }
}

// The connection and the delivery journal are closed only when no panel is
// open: a panel opened meanwhile keeps both.
void TLYApiImpl::CloseTransportIfUnused() {
    connection.CloseUnlessInUse([this] { return ActivePanelCount() > 0; }, [this] { activities.CloseJournal(); });
}

bool TLYApiImpl::CheckConnection() {
    RestartSettingsWatcherIfEnded();
    const ServerConnection::Health health = connection.Check([this] { return SettingsSnapshot(); });
    // The REST answer may be the last health tick's: a channel that stays down
    // between ticks while the ticks succeed is down while REST works.
    AttentionEvents::Instance().NoteChannel(health == ServerConnection::Health::Up && !connection.ChannelUp());
    if (health != ServerConnection::Health::ChannelReopened) return health == ServerConnection::Health::Up;
    // Outside the connection's lock: the refresh delivers activities to the
    // translator, which may call back into the API. Within the host call's
    // time: panels left over reload their readers at their next status
    // request, and the activity worker fetches their activities.
    for (std::int32_t panel : PanelIdsSnapshot()) {
        if (HostCallBudget::Exhausted()) {
            FetchAndProcessPendingActivities();  // with no time left: only wakes the worker
            break;
        }
        GetInitialData(panel);
    }
    return true;
}

void TLYApiImpl::NotePanelLink(std::int32_t panelId, bool up) {
    if (up) {
        panelLinks.Note(panelId, true, {}, {});
    } else {
        panelLinks.Note(panelId, false, connection.LastTrouble(), GetLastError());
    }
}
