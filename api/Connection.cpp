#include "api/TLYApiImpl.h"

#include "logging/Log.h"

bool TLYApiImpl::Connect(std::int32_t panelId) {
    ClearLastError();
    LogApiEvent(LogLevel::Info, "connect.start", "Connecting panel to Tallyport", {{"panel_id", panelId}});
    SetLastError("Failed to initialize REST client");
    LogApiEvent(LogLevel::Error, "connect.rest_init_failed", "Failed to initialize REST client",
                {{"panel_id", panelId}});
    return false;
}

void TLYApiImpl::Disconnect(std::int32_t panelId) {
    LogApiEvent(LogLevel::Info, "disconnect.start", "Disconnecting panel from Tallyport", {{"panel_id", panelId}});
    UnregisterPanel(panelId);
    if (ActivePanelCount() > 0) return;
    webSocket.Close();
    restClient.Close();
}

bool TLYApiImpl::CheckConnection() {
    if (!restClient.IsInitialized()) return false;
    return false;
}
