// Bringing the shared transport up and down for the host's panels, and the
// health tick that keeps it alive. Connect, Disconnect and CheckConnection are
// serialised by connectionMutex, which is never held while the translator's
// call-backs run: the WebSocket reopening below refreshes the panels (and so
// delivers activities) only after the lock is released.

#include "api/HostCallBudget.h"
#include "api/TLYApiImpl.h"
#include "logging/Log.h"
#include "platform/Clock.h"

namespace {

constexpr std::uint32_t kHealthCheckIntervalMs = 30000;
constexpr double kWebSocketLivenessSeconds = 60.0;

}  // namespace

bool TLYApiImpl::Connect(std::int32_t panelId) {
    std::lock_guard<std::mutex> serialised(connectionMutex);
    ClearLastError();
    const TranslatorSettings copy = SettingsSnapshot();
    LogApiEvent(LogLevel::Info, "connect.start", "Connecting panel to Tallyport",
                {{"panel_id", panelId}, {"hostname", copy.hostname}, {"port", copy.port}});

    if (!restClient.IsInitialized() &&
        !restClient.Initialize(copy.hostname, static_cast<std::uint16_t>(copy.port), copy.validate_cert)) {
        SetLastError("Failed to initialize REST client");
        LogApiEvent(LogLevel::Error, "connect.rest_init_failed", "Failed to initialize REST client",
                    {{"panel_id", panelId}});
        return false;
    }
    restClient.SetPinnedThumbprint(copy.validate_cert ? std::string() : copy.cert_thumbprint);

    if (restClient.AccessToken().empty()) {
        if (!restClient.Authenticate(copy.client_id, copy.client_secret)) {
            SetLastError("OAuth authentication failed");
            LogApiEvent(LogLevel::Error, "connect.auth_failed", "OAuth authentication failed",
                        {{"panel_id", panelId}, {"client_id", copy.client_id}});
            return false;
        }
        SavePinnedThumbprint();
    }

    std::string response;
    if (!restClient.GetWithRetry("/status", response)) {
        SetLastError("Health check failed: " + response);
        LogApiEvent(LogLevel::Error, "connect.health_failed", "Health check failed",
                    {{"panel_id", panelId}, {"response", response}});
        return false;
    }
    LogApiEvent(LogLevel::Debug, "connect.health_passed", "Health check passed",
                {{"panel_id", panelId}, {"response", response}});

    if (!webSocket.IsConnected()) {
        // The pin may have been taken on first use just above.
        const std::string thumbprint = SettingsSnapshot().cert_thumbprint;
        if (webSocket.Connect(copy.hostname, static_cast<std::uint16_t>(copy.port), restClient.AccessToken(),
                              copy.validate_cert, thumbprint)) {
            LogApiEvent(LogLevel::Info, "connect.websocket_connected", "WebSocket connected", {{"panel_id", panelId}});
        } else {
            LogApiEvent(LogLevel::Warn, "connect.websocket_failed",
                        "WebSocket connection failed; REST mode will continue without real-time events",
                        {{"panel_id", panelId}});
        }
    }
    return true;
}

void TLYApiImpl::Disconnect(std::int32_t panelId) {
    {
        std::lock_guard<std::mutex> serialised(connectionMutex);
        LogApiEvent(LogLevel::Info, "disconnect.start", "Disconnecting panel from Tallyport", {{"panel_id", panelId}});
        UnregisterPanel(panelId);
        panelLinks.Forget(panelId);
    }
    // No new delivery to the panel starts now; one under way reaches the
    // panel before its close returns. Outside connectionMutex, since the
    // delivering thread's host may call the API.
    WaitForPanelDeliveries(panelId);
    if (ActivePanelCount() > 0) return;  // other panels still use the transport

    // With no panel left nothing needs the activity worker or the watcher:
    // stop them on this ordinary path, so the module can be unloaded. Outside
    // connectionMutex, since a reconnect on the watcher thread may be waiting
    // for it. The worker gets what is left of the close's time; a run still
    // under way then (a call-back that blocks, a server that does not answer)
    // is left to end on its own and closes the transport when it ends.
    activities.StopWorker(HostCallBudget::RemainingMs());
    if (!activities.CloseTransportAfterRuns()) {
        LogApiEvent(LogLevel::Warn, "close.run_still_under_way",
                    "An activity run is still in a delivery or a request; it closes the connection when it ends",
                    {{"panel_id", panelId}});
    }
    StopSettingsWatcher();
}

// The transport and the delivery journal are closed only when no panel is
// open: a panel opened meanwhile keeps both.
void TLYApiImpl::CloseTransportIfUnused() {
    std::lock_guard<std::mutex> serialised(connectionMutex);
    if (ActivePanelCount() > 0) return;
    webSocket.Close();
    restClient.Close();
    activities.CloseJournal();
}

bool TLYApiImpl::CheckConnection() {
    bool reopened = false;
    {
        std::lock_guard<std::mutex> serialised(connectionMutex);
        if (!restClient.IsInitialized()) return false;
        restClient.RefreshTokenIfDue();

        if (webSocket.IsConnected() && webSocket.SecondsSinceLastMessage() <= kWebSocketLivenessSeconds) return true;

        const std::uint32_t now = tly::CurrentClock().TickCount();
        if (now - healthTick.lastCheckTick < kHealthCheckIntervalMs) return healthTick.lastResult;  // wrap-safe
        healthTick.lastCheckTick = now;
        std::string response;
        healthTick.lastResult = restClient.GetWithRetry("/status", response);
        if (!healthTick.lastResult) return false;

        SavePinnedThumbprint();
        if (webSocket.IsConnected()) return true;

        LogApiEvent(LogLevel::Info, "websocket.reconnect_attempt",
                    "REST healthy but WebSocket down, attempting WebSocket reconnect");
        const std::string token = restClient.AccessToken();
        const TranslatorSettings copy = SettingsSnapshot();
        if (token.empty()) return true;
        if (!webSocket.Connect(copy.hostname, static_cast<std::uint16_t>(copy.port), token, copy.validate_cert,
                               copy.cert_thumbprint)) {
            return true;
        }
        LogApiEvent(LogLevel::Info, "websocket.reconnect_succeeded", "WebSocket reconnected, refreshing state");
        reopened = true;
    }
    // Outside the lock: the refresh delivers activities to the translator,
    // which may call back into the API. Within the host call's time: panels
    // left over reload their readers at their next status request, and the
    // activity worker fetches their activities.
    if (reopened) {
        for (std::int32_t panel : PanelIdsSnapshot()) {
            if (HostCallBudget::Exhausted()) {
                FetchAndProcessPendingActivities();  // with no time left: only wakes the worker
                break;
            }
            GetInitialData(panel);
        }
    }
    return true;
}

void TLYApiImpl::NotePanelLink(std::int32_t panelId, bool up) {
    if (up) {
        panelLinks.Note(panelId, true, {}, {});
    } else {
        panelLinks.Note(panelId, false, restClient.LastTrouble(), GetLastError());
    }
}

TransportTrouble TLYApiImpl::LastTransportTrouble() const { return restClient.LastTrouble(); }
