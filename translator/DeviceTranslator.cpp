#include "translator/DeviceTranslator.h"

#include "platform/Clock.h"
#include "translator/framework/ArrayEnumerator.h"
#include "translator/framework/ComMethod.h"

#include <olectl.h>

#include <cstring>

namespace {

tly::Mutex profileLock;
std::wstring profileFile TLY_GUARDED_BY(profileLock) = L"ACS.INI";

int ReadEnableEventStorageInPanel() {
    std::wstring file;
    {
        tly::MutexLock guard(profileLock);
        file = profileFile;
    }
    return static_cast<int>(::GetPrivateProfileIntW(L"Service", L"EnableEventStorageInPanel", 0, file.c_str()));
}

template <typename Field, typename Value>
HRESULT Store(std::atomic<Field>& field, Value value) {
    field.store(value);
    return S_OK;
}

template <typename Value, typename Field>
HRESULT ReadInto(Value* out, const std::atomic<Field>& field) {
    if (!out) return E_POINTER;
    *out = field.load();
    return S_OK;
}

std::wstring TextOf(BSTR text) { return text ? std::wstring(text, ::SysStringLen(text)) : std::wstring(); }

int DayOfYear(const SYSTEMTIME& time) {
    static const int kDaysBeforeMonth[] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
    const int year = time.wYear;
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    const int month = time.wMonth >= 1 && time.wMonth <= 12 ? time.wMonth : 1;
    return kDaysBeforeMonth[month - 1] + (leap && month > 2 ? 1 : 0) + time.wDay - 1;
}

}  // namespace

void CDeviceTranslator::SetProfileFileForTesting(const std::wstring& path) {
    tly::MutexLock guard(profileLock);
    profileFile = path.empty() ? L"ACS.INI" : path;
}

CDeviceTranslator::CDeviceTranslator()
    : channel_(std::make_shared<HostEventChannel>()),
      connectionPoint_(*this, IID_IDistributeEvent, *this),
      enableEventStorageInPanel_(ReadEnableEventStorageInPanel()) {}

CDeviceTranslator::~CDeviceTranslator() = default;

// ---------------------------------------------------------------- hooks

bool CDeviceTranslator::NotifyCommLost() { return true; }
bool CDeviceTranslator::NotifyCommRestored() { return true; }
bool CDeviceTranslator::InitPanel() { return true; }
bool CDeviceTranslator::PrePoll() { return true; }

void CDeviceTranslator::RunOfflineStep() {
    if (panelState_.load() == 1) {
        NotifyCommLost();
        lossReported_.store(true);
    }
    panelState_.store(0);
    unsolicitedEvents_.store(false);
}

bool CDeviceTranslator::IsMonitoringRequested() const {
    if (enableEventStorageInPanel_ == 0) return true;
    tly::MutexLock guard(lock_);
    return monitorRequests_ != 0;
}

// ---------------------------------------------------------------- panel lifecycle

STDMETHODIMP CDeviceTranslator::Ors_CreateCommunicationObject() { return S_OK; }

STDMETHODIMP CDeviceTranslator::Ors_ConnectCommunicationManager(GUID*, IUnknown*) { return S_OK; }

STDMETHODIMP CDeviceTranslator::Ors_RequireCTManager(int* ManagerRequired) {
    if (!ManagerRequired) return E_POINTER;
    *ManagerRequired = 0;
    return S_OK;
}

STDMETHODIMP CDeviceTranslator::Ors_InitCommunication() { return S_OK; }

STDMETHODIMP CDeviceTranslator::Ors_InitializePanel() {
    return tly::com::ComMethod([&]() -> HRESULT {
        if (panelState_.load() != 0) return S_OK;
        if (InitPanel()) {
            lossReported_.store(false);
            panelState_.store(1);
            NotifyCommRestored();
            if (IsMonitoringRequested()) unsolicitedEvents_.store(true);
            return S_OK;
        }
        if (!lossReported_.load()) RunOfflineStep();
        return E_FAIL;
    });
}

STDMETHODIMP CDeviceTranslator::Ors_SetPanelOffline() {
    return tly::com::ComMethod([&]() -> HRESULT {
        RunOfflineStep();
        return S_OK;
    });
}

STDMETHODIMP CDeviceTranslator::Ors_PollPanelForEvents() {
    return tly::com::ComMethod([&]() -> HRESULT { return PrePoll() ? S_OK : E_FAIL; });
}

STDMETHODIMP CDeviceTranslator::Ors_CloseCommunication() { return S_OK; }

STDMETHODIMP CDeviceTranslator::Ors_ConnectToPanel(LONG, LONG) { return S_OK; }

// ---------------------------------------------------------------- panel id, serial numbers, monitoring

STDMETHODIMP CDeviceTranslator::Ors_SetPanelID(int panel_id) {
    channel_->SetPanelId(panel_id);
    return S_OK;
}

STDMETHODIMP CDeviceTranslator::Ors_GetPanelID(int* panel_id) {
    if (!panel_id) return E_POINTER;
    *panel_id = channel_->PanelId();
    return S_OK;
}

STDMETHODIMP CDeviceTranslator::Ors_SetEventCounter(LONG vl_Counter) {
    channel_->SetSerialNumber(static_cast<std::uint32_t>(vl_Counter));
    return S_OK;
}

STDMETHODIMP CDeviceTranslator::Ors_GetPanelEventSerialNumber(LONG* num) {
    if (!num) return E_POINTER;
    *num = static_cast<LONG>(channel_->NextSerialNumber());
    return S_OK;
}

STDMETHODIMP CDeviceTranslator::Ors_IncrementMonitorReq() {
    tly::MutexLock guard(lock_);
    ++monitorRequests_;
    return S_OK;
}

STDMETHODIMP CDeviceTranslator::Ors_DecrementMonitorReq() {
    tly::MutexLock guard(lock_);
    if (monitorRequests_ > 0) --monitorRequests_;
    return S_OK;
}

STDMETHODIMP CDeviceTranslator::Ors_UnsolicitedEventRequest(LONG ll_EventNumber, LONG) {
    const bool allowed = IsMonitoringRequested() && dbEnabled_.load() != 0;
    switch (ll_EventNumber) {
        case -2:
            unsolicitedEvents_.store(false);
            return S_OK;
        case 2:
            unsolicitedEvents_.store(true);
            return S_OK;
        case -1:
            if (!allowed) unsolicitedEvents_.store(false);
            return S_OK;
        default:
            if (!allowed) return E_FAIL;
            unsolicitedEvents_.store(true);
            return S_OK;
    }
}

// ---------------------------------------------------------------- status, clock, commands

STDMETHODIMP CDeviceTranslator::Ors_GetSystemStatus(_SYSTEM_STATUS* p_Status) {
    if (!p_Status) return E_POINTER;
    p_Status->si_PanelID = channel_->PanelId();
    p_Status->sb_AsyncStatus = 0;
    p_Status->sb_Devices[0] = static_cast<unsigned char>(panelState_.load() & 0xFF);
    return S_OK;
}

STDMETHODIMP CDeviceTranslator::Ors_ReadClock(tm* prl_Time) {
    if (!prl_Time) return E_POINTER;
    const SYSTEMTIME now = tly::CurrentClock().LocalTime();
    TIME_ZONE_INFORMATION zone{};
    std::memset(prl_Time, 0, sizeof(*prl_Time));
    prl_Time->tm_sec = now.wSecond;
    prl_Time->tm_min = now.wMinute;
    prl_Time->tm_hour = now.wHour;
    prl_Time->tm_mday = now.wDay;
    prl_Time->tm_mon = now.wMonth - 1;
    prl_Time->tm_year = now.wYear - 1900;
    prl_Time->tm_wday = now.wDayOfWeek;
    prl_Time->tm_yday = DayOfYear(now);
    prl_Time->tm_isdst = ::GetTimeZoneInformation(&zone) == TIME_ZONE_ID_DAYLIGHT ? 1 : 0;
    return S_OK;
}

STDMETHODIMP CDeviceTranslator::Ors_SendPanelNextDirectCmd() {
    return tly::com::ComMethod([&]() -> HRESULT {
        if (!directCommands_.IsReady()) return E_FAIL;
        // This panel has no direct-command link: a waiting command is taken
        // off the queue and goes no further.
        directCommands_.Pop();
        return S_OK;
    });
}

STDMETHODIMP CDeviceTranslator::Ors_SetClock(LONG, LONG) { return S_OK; }
STDMETHODIMP CDeviceTranslator::Ors_SetDirectCmd(unsigned char*) { return S_OK; }
STDMETHODIMP CDeviceTranslator::Ors_DownloadFirmware() { return S_OK; }
STDMETHODIMP CDeviceTranslator::Ors_IsDownloadFinished() { return S_OK; }
STDMETHODIMP CDeviceTranslator::Ors_IssueColdStartCmd() { return S_OK; }
STDMETHODIMP CDeviceTranslator::Ors_ResetPowerUpFlag() { return S_OK; }

STDMETHODIMP CDeviceTranslator::Ors_GetVersionInfo(LONG* major, LONG* minor, LONG* build) {
    if (major) *major = 0;
    if (minor) *minor = 0;
    if (build) *build = 0;
    return E_NOTIMPL;
}

// ---------------------------------------------------------------- stored values

STDMETHODIMP CDeviceTranslator::Ors_SetDBEnabledFlag(LONG vb_IsDBLoggingEvents) {
    return Store(dbEnabled_, vb_IsDBLoggingEvents);
}

STDMETHODIMP CDeviceTranslator::Ors_SetDownloadInProgressState(LONG State) { return Store(downloadInProgress_, State); }
STDMETHODIMP CDeviceTranslator::Ors_SetCommunicationType(int vi_Value) { return Store(communicationType_, vi_Value); }
STDMETHODIMP CDeviceTranslator::Ors_GetCommunicationType(int* Value) { return ReadInto(Value, communicationType_); }
STDMETHODIMP CDeviceTranslator::Ors_SetCommunicationType2(int vi_Value) { return Store(communicationType2_, vi_Value); }
STDMETHODIMP CDeviceTranslator::Ors_GetCommunicationType2(int* Value) { return ReadInto(Value, communicationType2_); }
STDMETHODIMP CDeviceTranslator::Ors_SetDST(LONG vi_Value) { return Store(dst_, vi_Value); }
STDMETHODIMP CDeviceTranslator::Ors_GetDST(LONG* Value) { return ReadInto(Value, dst_); }
STDMETHODIMP CDeviceTranslator::Ors_SetPanelState(int vi_Value) { return Store(panelState_, vi_Value); }
STDMETHODIMP CDeviceTranslator::Ors_GetPanelState(int* Value) { return ReadInto(Value, panelState_); }

STDMETHODIMP CDeviceTranslator::Ors_IsPanelOnline(LONG* Value) {
    if (!Value) return E_POINTER;
    *Value = panelState_.load() == 1 ? 1 : 0;
    return S_OK;
}

STDMETHODIMP CDeviceTranslator::Ors_SetPanelType(int Value) { return Store(panelType_, Value); }

STDMETHODIMP CDeviceTranslator::Ors_GetPanelType(int* Value) { return ReadInto(Value, panelType_); }

STDMETHODIMP CDeviceTranslator::Ors_SetPanelTZInfo(_TZI* Value) {
    if (!Value) return E_INVALIDARG;
    tly::MutexLock guard(lock_);
    timeZone_ = *Value;
    return S_OK;
}

STDMETHODIMP CDeviceTranslator::Ors_GetPanelTZInfo(_TZI* Value) {
    if (!Value) return E_POINTER;
    tly::MutexLock guard(lock_);
    *Value = timeZone_;
    return S_OK;
}

STDMETHODIMP CDeviceTranslator::Ors_SetPanelName(BSTR panelName) {
    return tly::com::ComMethod([&]() -> HRESULT {
        std::wstring text = TextOf(panelName);
        tly::MutexLock guard(lock_);
        panelName_ = std::move(text);
        return S_OK;
    });
}

STDMETHODIMP CDeviceTranslator::Ors_SetPanelPassword(BSTR password) {
    return tly::com::ComMethod([&]() -> HRESULT {
        std::wstring text = TextOf(password);
        tly::MutexLock guard(lock_);
        panelPassword_ = std::move(text);
        return S_OK;
    });
}

// ---------------------------------------------------------------- IComConfig

STDMETHODIMP CDeviceTranslator::Ors_SetComPort(int Value) { return Store(comPort_, Value); }
STDMETHODIMP CDeviceTranslator::Ors_GetComPort(int* Value) { return ReadInto(Value, comPort_); }
STDMETHODIMP CDeviceTranslator::Ors_SetComPort2(int Value) { return Store(comPort2_, Value); }
STDMETHODIMP CDeviceTranslator::Ors_GetComPort2(int* Value) { return ReadInto(Value, comPort2_); }
STDMETHODIMP CDeviceTranslator::Ors_SetBaudRate(int Value) { return Store(baudRate_, Value); }
STDMETHODIMP CDeviceTranslator::Ors_GetBaudRate(int* Value) { return ReadInto(Value, baudRate_); }
STDMETHODIMP CDeviceTranslator::Ors_SetPanelAddress(int Value) { return Store(panelAddress_, Value); }
STDMETHODIMP CDeviceTranslator::Ors_GetPanelAddress(int* Value) { return ReadInto(Value, panelAddress_); }
STDMETHODIMP CDeviceTranslator::Ors_SetPrimaryIP(int Value) { return Store(primaryIp_, Value); }
STDMETHODIMP CDeviceTranslator::Ors_GetPrimaryIP(int* Value) { return ReadInto(Value, primaryIp_); }
STDMETHODIMP CDeviceTranslator::Ors_SetSecondaryIP(int Value) { return Store(secondaryIp_, Value); }
STDMETHODIMP CDeviceTranslator::Ors_GetSecondaryIP(int* Value) { return ReadInto(Value, secondaryIp_); }
STDMETHODIMP CDeviceTranslator::Ors_SetByteSize(int Value) { return Store(byteSize_, Value); }
STDMETHODIMP CDeviceTranslator::Ors_GetByteSize(int* Value) { return ReadInto(Value, byteSize_); }
STDMETHODIMP CDeviceTranslator::Ors_SetParity(int Value) { return Store(parity_, Value); }
STDMETHODIMP CDeviceTranslator::Ors_GetParity(int* Value) { return ReadInto(Value, parity_); }
STDMETHODIMP CDeviceTranslator::Ors_SetStopBits(int Value) { return Store(stopBits_, Value); }
STDMETHODIMP CDeviceTranslator::Ors_GetStopBits(int* Value) { return ReadInto(Value, stopBits_); }

// ---------------------------------------------------------------- connection point

STDMETHODIMP CDeviceTranslator::EnumConnectionPoints(IEnumConnectionPoints** points) {
    return tly::com::ComMethod(
        [&] { return tly::com::ConnectionPointEnumerator::Create({&connectionPoint_}, points); });
}

STDMETHODIMP CDeviceTranslator::FindConnectionPoint(REFIID iid, IConnectionPoint** point) {
    if (!point) return E_POINTER;
    *point = nullptr;
    if (!IsEqualIID(iid, connectionPoint_.ConnectionIid())) return CONNECT_E_NOCONNECTION;
    connectionPoint_.AddRef();
    *point = &connectionPoint_;
    return S_OK;
}

void CDeviceTranslator::SinkAdvised(IUnknown* sink) noexcept {
    // The host's event-distribution interface is a later revision of the one
    // advised; a sink without it is held but receives nothing.
    tly::UniqueComPtr<IDistributeEvent2> events;
    if (FAILED(sink->QueryInterface(IID_IDistributeEvent2, reinterpret_cast<void**>(events.put())))) events.reset();
    channel_->AttachSink(std::move(events));
}

void CDeviceTranslator::SinkUnadvised() noexcept { channel_->DetachSink(); }
