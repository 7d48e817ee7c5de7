// The exported C functions. Each one fetches the instance and calls one
// operation at the export edge (ExportBoundary.h), which turns every
// exception into the result and log line the interface defines, so none
// reaches the host.

#include "api/ExportBoundary.h"
#include "api/HostCallBudget.h"
#include "api/OperationFaults.h"
#include "api/TLYApi.h"
#include "api/TLYApiImpl.h"
#include "logging/Log.h"

#include <cstring>
#include <exception>

namespace {

LogField PanelField(std::int32_t panelId) { return {"panel_id", panelId}; }

// What a failed connection says about itself: the last error text, and the
// transport's cause when a request failed.
LogFields ConnectFailure(const TLYApiImpl& api, std::int32_t panelId) {
    LogFields fields{PanelField(panelId), {"reason", api.GetLastError()}};
    const TransportTrouble trouble = api.LastTransportTrouble();
    if (trouble.cause != TroubleCause::None) {
        fields.emplace_back("cause", TroubleCauseName(trouble.cause));
        fields.emplace_back("cause_text", DescribeTrouble(trouble));
    }
    return fields;
}

void ResetList(ReaderStatusList* list) {
    if (!list) return;
    list->items = nullptr;
    list->count = 0;
}

// How each export reports a failure: its log lines and last-error texts.
constexpr ExportFailure kOpenFailure{.exceptionEvent = "open.failed",
                                    .exceptionMessage = "Open panel failed",
                                    .unknownEvent = "open.failed_unknown",
                                    .unknownMessage = "Open panel failed with unknown error"};
constexpr ExportFailure kConnectFailure{.exceptionEvent = "connect.failed_exception",
                                       .exceptionMessage = "Panel connection raised exception",
                                       .unknownEvent = "connect.failed_unknown",
                                       .unknownMessage = "Panel connection failed with unknown error",
                                       .exceptionLastError = "Connect exception: ",
                                       .unknownLastError = "Connect failed with unknown error"};
constexpr ExportFailure kCloseFailure{.exceptionEvent = "close.failed_exception",
                                     .exceptionMessage = "Close panel raised exception"};
constexpr ExportFailure kInitialDataFailure{.exceptionEvent = "initial_data.failed_exception",
                                           .exceptionMessage = "Initial data fetch raised exception",
                                           .unknownEvent = "initial_data.failed_unknown",
                                           .unknownMessage = "Initial data fetch failed with unknown error",
                                           .exceptionLastError = "Initial data exception: ",
                                           .unknownLastError = "Initial data fetch failed with unknown error"};
// The fetch says only that it failed, at warn, without a panel.
constexpr ExportFailure kFetchFailure{.exceptionEvent = "activities.fetch_exception",
                                     .exceptionMessage = "Exception during pending activity fetch",
                                     .unknownEvent = "activities.fetch_exception",
                                     .unknownMessage = "Exception during pending activity fetch",
                                     .level = LogLevel::Warn};
constexpr ExportFailure kReadersStatusFailure{.exceptionEvent = "readers_status.failed_exception",
                                             .exceptionMessage = "Reader status fetch raised exception"};
constexpr ExportFailure kQuietFailure{};

}  // namespace

extern "C" {

void __cdecl TLYAPI_Init() {
    LogEvent(LogLevel::Debug, "tly_exports", "init", "Initialized native TLY API export layer");
}

bool __cdecl TLYAPI_Open(std::int32_t panelId) {
    bool loaded = false;
    const bool ran = AtExportEdge(&panelId, kOpenFailure, [&] {
        LogApiEvent(LogLevel::Info, "open", "Opening panel", {PanelField(panelId)});
        TLYApiImpl& api = TLYApiImpl::Instance();
        api.RegisterPanel(panelId);
        RaiseOperationFault("Open");
        loaded = api.LoadSettings();
        api.OpenDeliveryJournal();
    });
    return ran && loaded;
}

bool __cdecl TLYAPI_Connect(std::int32_t panelId) {
    bool connected = false;
    AtExportEdge(&panelId, kConnectFailure, [&] {
        TLYApiImpl& api = TLYApiImpl::Instance();
        RaiseOperationFault("Connect");
        const HostCallBudget budget;
        if (api.EnsureServerConnection(panelId)) {
            LogApiEvent(LogLevel::Info, "connect.succeeded", "Panel connection succeeded", {PanelField(panelId)});
            connected = true;
        } else {
            LogApiEvent(LogLevel::Error, "connect.failed", "Panel connection failed", ConnectFailure(api, panelId));
        }
    });
    return connected;
}

void __cdecl TLYAPI_Close(std::int32_t panelId) {
    AtExportEdge(&panelId, kCloseFailure, [&] {
        LogApiEvent(LogLevel::Info, "close", "Closing panel", {PanelField(panelId)});
        RaiseOperationFault("Close");
        const HostCallBudget budget;
        TLYApiImpl::Instance().Disconnect(panelId);
    });
}

void __cdecl TLYAPI_GetLastErrorMessage(char* buffer, std::int32_t bufferSize) {
    if (!buffer || bufferSize < 1) return;
    const bool copied = AtExportEdge(nullptr, kQuietFailure, [&] {
        std::string text = TLYApiImpl::Instance().GetLastError();
        const size_t capacity = static_cast<size_t>(bufferSize);
        // The cut may split a multi-byte character; the buffer always ends in 0.
        if (text.size() >= capacity) text.resize(capacity - 1);
        std::memcpy(buffer, text.data(), text.size());
        buffer[text.size()] = '\0';
    });
    if (!copied) buffer[0] = '\0';
}

bool __cdecl TLYAPI_GetInitialData(std::int32_t panelId) {
    bool loaded = false;
    const bool ran = AtExportEdge(&panelId, kInitialDataFailure, [&] {
        TLYApiImpl& api = TLYApiImpl::Instance();
        RaiseOperationFault("GetInitialData");
        const HostCallBudget budget;
        loaded = api.GetInitialData(panelId);
    });
    return ran && loaded;
}

void __cdecl TLYAPI_FetchPendingActivities() {
    AtExportEdge(nullptr, kFetchFailure, [] {
        RaiseOperationFault("FetchPendingActivities");
        const HostCallBudget budget;
        TLYApiImpl::Instance().FetchAndProcessPendingActivities();
    });
}

void __cdecl TLYAPI_GetReadersGoneOffline(std::int32_t panelId, ReaderStatusList* list) {
    AtExportEdge(&panelId, kQuietFailure, [&] { TLYApiImpl::Instance().GetReadersGoneOffline(panelId, list); });
}

void __cdecl TLYAPI_GetReadersGoneOnline(std::int32_t panelId, ReaderStatusList* list) {
    AtExportEdge(&panelId, kQuietFailure, [&] { TLYApiImpl::Instance().GetReadersGoneOnline(panelId, list); });
}

void __cdecl TLYAPI_GetReadersStatus3(std::int32_t panelId, ReaderStatusList* list) {
    const bool listed = AtExportEdge(&panelId, kReadersStatusFailure, [&] {
        RaiseOperationFault("GetReadersStatus3");
        const HostCallBudget budget;
        TLYApiImpl::Instance().ReloadAndListOnlineReaders(panelId, list);
    });
    if (!listed) ResetList(list);
}

bool __cdecl TLYAPI_GetSubscribed(std::int32_t panelId) {
    bool subscribed = false;
    const bool ran = AtExportEdge(&panelId, kQuietFailure, [&] {
        RaiseOperationFault("GetSubscribed");
        const HostCallBudget budget;
        // The check is process-wide; what it means for the panel is logged per panel.
        TLYApiImpl& api = TLYApiImpl::Instance();
        subscribed = api.CheckConnection();
        api.NotePanelLink(panelId, subscribed);
        api.PublishStatusIfDue();
    });
    return ran && subscribed;
}

bool __cdecl TLYAPI_IsBadgeEventFileEnabled() {
    bool enabled = false;
    AtExportEdge(nullptr, kQuietFailure, [&] { enabled = TLYApiImpl::Instance().IsBadgeEventFileEnabled(); });
    return enabled;
}

void __cdecl TLYAPI_SetAlarmEventCallback(AlarmEventCallback callback) {
    AtExportEdge(nullptr, kQuietFailure, [&] { TLYApiImpl::Instance().SetAlarmEventCallback(callback); });
    LogApiEvent(LogLevel::Debug, "alarm_callback.set", "Alarm event callback registered");
}

void __cdecl TLYAPI_SetBadgeActivityCallback(BadgeActivityCallback callback) {
    AtExportEdge(nullptr, kQuietFailure, [&] { TLYApiImpl::Instance().SetBadgeActivityCallback(callback); });
}

// The translator registers these two at start-up; the native layer has no
// message to display and reports the service's state in the log, so neither
// is ever called and nothing keeps them.
void __cdecl TLYAPI_SetDisplayMessageCallback(DisplayMessageCallback /*callback*/) {}

void __cdecl TLYAPI_TallyportServiceStatusChangedCallback(ServiceStatusChangedCallback /*callback*/) {}

}  // extern "C"
