// The translator object's life and its communication set-up: construction and
// destruction, the interface map, and the lifecycle methods of ITranslate.

#include "translator/AccessControlTrans.h"

#include "translator/CurrentTranslator.h"
#include "translator/NativeApi.h"
#include "translator/NativeCallbacks.h"
#include "translator/framework/ComMethod.h"

#include <olectl.h>

#include <string>

CAccessControlTrans::CAccessControlTrans() {
    SetCurrentTranslator(this, Channel());
    // Nothing may throw from here on: the destructor, which clears the slot
    // again, runs only for a completed construction.
    try {
        LogTranslatorEvent(LogLevel::Info, "translator.constructed", "Translator instance constructed");
    } catch (...) {
    }
}

CAccessControlTrans::~CAccessControlTrans() {
    // No new delivery may start once destruction has begun; one already under
    // way holds the channel, not this object.
    ClearCurrentTranslator(this);
    try {
        LogTranslatorEvent(LogLevel::Info, "translator.destructed", "Translator instance destructed");
        Native().Close(PanelId());
    } catch (...) {
    }
}

std::span<const tly::com::InterfaceEntry> CAccessControlTrans::InterfaceMap() {
    using tly::com::Entry;
    static const tly::com::InterfaceEntry map[] = {
        Entry<CAccessControlTrans, ITranslate4>(),
        Entry<CAccessControlTrans, IOutput>(),
        Entry<CAccessControlTrans, IInput>(),
        Entry<CAccessControlTrans, IAccessControl>(),
        Entry<CAccessControlTrans, ITranslate>(),
        Entry<CAccessControlTrans, IComConfig>(),
        Entry<CAccessControlTrans, IConnectionPointContainer>(),
    };
    return map;
}

LogFields CAccessControlTrans::PanelFields() const { return {{"panel_id", PanelId()}}; }

STDMETHODIMP CAccessControlTrans::Ors_CreateCommunicationObject() {
    return tly::com::ComMethod([&]() -> HRESULT {
        Native().Init();
        LogTranslatorEvent(LogLevel::Info, "translator.create_communication_object", "Created communication object",
                           PanelFields());
        return S_OK;
    });
}

STDMETHODIMP CAccessControlTrans::Ors_InitCommunication() {
    return tly::com::ComMethod([&]() -> HRESULT {
        const NativeApi& native = Native();
        const std::int32_t panelId = PanelId();
        LogTranslatorEvent(LogLevel::Info, "translator.init_communication", "Initializing communication with Tallyport",
                           PanelFields());
        native.Init();
        native.SetDisplayMessageCallback(&tly::OnDisplayMessage);
        native.SetBadgeActivityCallback(&tly::OnBadgeActivity);
        native.SetAlarmEventCallback(&tly::OnAlarmEvent);
        native.Open(panelId);
        if (native.Connect(panelId)) {
            LogTranslatorEvent(LogLevel::Info, "translator.init_communication_succeeded",
                               "Communication initialized successfully", PanelFields());
            return S_OK;
        }
        // The polls retry the connection; the host only learns of it from the log.
        char lastError[1024] = {};
        native.GetLastErrorMessage(lastError, sizeof(lastError));
        lastError[sizeof(lastError) - 1] = '\0';
        std::string message = "Initial connection failed, will retry in background";
        if (lastError[0] != '\0') message += std::string(": ") + lastError;
        LogTranslatorEvent(LogLevel::Warn, "translator.init_communication_deferred", message, PanelFields());
        return S_OK;
    });
}

STDMETHODIMP CAccessControlTrans::Ors_ConnectToPanel(LONG vb_Connect, LONG) {
    return tly::com::ComMethod([&]() -> HRESULT {
        LogTranslatorEvent(LogLevel::Debug, "connect_to_panel", "Ors_ConnectToPanel called",
                           {{"panel_id", PanelId()}, {"connect_flag", vb_Connect}});
        Ors_PollPanelForEvents();
        return S_FALSE;
    });
}

STDMETHODIMP CAccessControlTrans::Ors_RequireCTManager(int* ManagerRequired) {
    return tly::com::ComMethod([&]() -> HRESULT {
        LogTranslatorEvent(LogLevel::Debug, "translator.require_ct_manager",
                           "Communication translator manager requested", PanelFields());
        if (!ManagerRequired) return E_POINTER;
        *ManagerRequired = 1;
        return S_OK;
    });
}

STDMETHODIMP CAccessControlTrans::Ors_CloseCommunication() {
    return tly::com::ComMethod([&]() -> HRESULT {
        LogTranslatorEvent(LogLevel::Info, "translator.close_communication", "Closing communication with Tallyport",
                           PanelFields());
        Native().Close(PanelId());
        return S_FALSE;
    });
}

STDMETHODIMP CAccessControlTrans::Ors_UploadEvents(LONG, LONG) { return E_NOTIMPL; }
