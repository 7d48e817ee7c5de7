// The exported C functions. Each one fetches the instance and calls one
// operation; every exception is caught here and turned into the result and
// log line the interface defines, so none reaches the host.

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

}  // namespace

extern "C" {

void __cdecl TLYAPI_Init() {
    LogEvent(LogLevel::Debug, "tly_exports", "init", "Initialized native TLY API export layer");
}

bool __cdecl TLYAPI_Open(std::int32_t panelId) {
    try {
        LogApiEvent(LogLevel::Info, "open", "Opening panel", {PanelField(panelId)});
        TLYApiImpl& api = TLYApiImpl::Instance();
        api.RegisterPanel(panelId);
        RaiseOperationFault("Open");
        const bool loaded = api.LoadSettings();
        api.OpenDeliveryJournal();
        return loaded;
    } catch (const std::exception& e) {
        LogApiEvent(LogLevel::Error, "open.failed", "Open panel failed", {PanelField(panelId), {"exception", e.what()}});
    } catch (...) {
        LogApiEvent(LogLevel::Error, "open.failed_unknown", "Open panel failed with unknown error",
                    {PanelField(panelId)});
    }
    return false;
}

bool __cdecl TLYAPI_Connect(std::int32_t panelId) {
    try {
        TLYApiImpl& api = TLYApiImpl::Instance();
        try {
            RaiseOperationFault("Connect");
            const bool connected = api.Connect(panelId);
            if (connected) {
                LogApiEvent(LogLevel::Info, "connect.succeeded", "Panel connection succeeded", {PanelField(panelId)});
            } else {
                LogApiEvent(LogLevel::Error, "connect.failed", "Panel connection failed", ConnectFailure(api, panelId));
            }
            return connected;
        } catch (const std::exception& e) {
            api.SetLastError(std::string("Connect exception: ") + e.what());
            LogApiEvent(LogLevel::Error, "connect.failed_exception", "Panel connection raised exception",
                        {PanelField(panelId), {"exception", e.what()}});
        } catch (...) {
            api.SetLastError("Connect failed with unknown error");
            LogApiEvent(LogLevel::Error, "connect.failed_unknown", "Panel connection failed with unknown error",
                        {PanelField(panelId)});
        }
    } catch (...) {
        // Recording the failure itself failed (out of memory): the result says it.
    }
    return false;
}

void __cdecl TLYAPI_Close(std::int32_t panelId) {
    try {
        LogApiEvent(LogLevel::Info, "close", "Closing panel", {PanelField(panelId)});
        RaiseOperationFault("Close");
        const HostCallBudget budget;
        TLYApiImpl::Instance().Disconnect(panelId);
    } catch (const std::exception& e) {
        LogApiEvent(LogLevel::Error, "close.failed_exception", "Close panel raised exception",
                    {PanelField(panelId), {"exception", e.what()}});
    } catch (...) {
    }
}

void __cdecl TLYAPI_GetLastErrorMessage(char* buffer, std::int32_t bufferSize) {
    if (!buffer || bufferSize < 1) return;
    try {
        std::string text = TLYApiImpl::Instance().GetLastError();
        const size_t capacity = static_cast<size_t>(bufferSize);
        // The cut may split a multi-byte character; the buffer always ends in 0.
        if (text.size() >= capacity) text.resize(capacity - 1);
        std::memcpy(buffer, text.data(), text.size());
        buffer[text.size()] = '\0';
    } catch (...) {
        buffer[0] = '\0';
    }
}

bool __cdecl TLYAPI_GetInitialData(std::int32_t panelId) {
    try {
        TLYApiImpl& api = TLYApiImpl::Instance();
        try {
            RaiseOperationFault("GetInitialData");
            const HostCallBudget budget;
            return api.GetInitialData(panelId);
        } catch (const std::exception& e) {
            api.SetLastError(std::string("Initial data exception: ") + e.what());
            LogApiEvent(LogLevel::Error, "initial_data.failed_exception", "Initial data fetch raised exception",
                        {PanelField(panelId), {"exception", e.what()}});
        } catch (...) {
            api.SetLastError("Initial data fetch failed with unknown error");
            LogApiEvent(LogLevel::Error, "initial_data.failed_unknown", "Initial data fetch failed with unknown error",
                        {PanelField(panelId)});
        }
    } catch (...) {
    }
    return false;
}

void __cdecl TLYAPI_FetchPendingActivities() {
    try {
        RaiseOperationFault("FetchPendingActivities");
        const HostCallBudget budget;
        TLYApiImpl::Instance().FetchAndProcessPendingActivities();
    } catch (...) {
        LogApiEvent(LogLevel::Warn, "activities.fetch_exception", "Exception during pending activity fetch");
    }
}

// The two queue exports only allocate; the interface lets them throw on memory
// exhaustion, but nothing may reach the host, so the edge catches it all.
void __cdecl TLYAPI_GetReadersGoneOffline(std::int32_t panelId, ReaderStatusList* list) {
    try {
        TLYApiImpl::Instance().GetReadersGoneOffline(panelId, list);
    } catch (...) {
    }
}

void __cdecl TLYAPI_GetReadersGoneOnline(std::int32_t panelId, ReaderStatusList* list) {
    try {
        TLYApiImpl::Instance().GetReadersGoneOnline(panelId, list);
    } catch (...) {
    }
}

void __cdecl TLYAPI_GetReadersStatus3(std::int32_t panelId, ReaderStatusList* list) {
    try {
        RaiseOperationFault("GetReadersStatus3");
        const HostCallBudget budget;
        TLYApiImpl::Instance().GetReadersStatus(panelId, list);
    } catch (const std::exception& e) {
        LogApiEvent(LogLevel::Error, "readers_status.failed_exception", "Reader status fetch raised exception",
                    {PanelField(panelId), {"exception", e.what()}});
        ResetList(list);
    } catch (...) {
        ResetList(list);
    }
}

bool __cdecl TLYAPI_GetSubscribed(std::int32_t panelId) {
    try {
        RaiseOperationFault("GetSubscribed");
        const HostCallBudget budget;
        // The check is process-wide; what it means for the panel is logged per panel.
        TLYApiImpl& api = TLYApiImpl::Instance();
        const bool subscribed = api.CheckConnection();
        api.NotePanelLink(panelId, subscribed);
        return subscribed;
    } catch (...) {
        return false;
    }
}

bool __cdecl TLYAPI_IsBadgeEventFileEnabled() {
    try {
        return TLYApiImpl::Instance().IsBadgeEventFileEnabled();
    } catch (...) {
        return false;
    }
}

void __cdecl TLYAPI_SetAlarmEventCallback(AlarmEventCallback callback) {
    try {
        TLYApiImpl::Instance().SetAlarmEventCallback(callback);
    } catch (...) {
    }
    LogApiEvent(LogLevel::Debug, "alarm_callback.set", "Alarm event callback registered");
}

void __cdecl TLYAPI_SetBadgeActivityCallback(BadgeActivityCallback callback) {
    try {
        TLYApiImpl::Instance().SetBadgeActivityCallback(callback);
    } catch (...) {
    }
}

// The translator registers these two at start-up; the native layer has no
// message to display and reports the service's state in the log, so neither
// is ever called and nothing keeps them.
void __cdecl TLYAPI_SetDisplayMessageCallback(DisplayMessageCallback /*callback*/) {}

void __cdecl TLYAPI_TallyportServiceStatusChangedCallback(ServiceStatusChangedCallback /*callback*/) {}

}  // extern "C"
