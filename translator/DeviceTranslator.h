#pragma once
// The host framework's base for device translators: the ITranslate and
// IComConfig methods with their stored values, the connection point for the
// host's event sink, the direct-command queue, and the hooks a translator
// replaces to do its work (in the order of the framework's hook table:
// NotifyCommLost, NotifyCommRestored, InitPanel, PrePoll).
//
// IUnknown comes from the wrapper the object lives in (ComObject.h); the
// derived class supplies the interface map.

#include "TallyportAccessControl.h"
#include "platform/Mutex.h"
#include "translator/HostEventChannel.h"
#include "translator/LocalNamedPipe.h"
#include "translator/framework/ComObjectRoot.h"
#include "translator/framework/SingleSinkConnectionPoint.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

class CDeviceTranslator : public tly::com::ComObjectRoot,
                          public ITranslate,
                          public IComConfig,
                          public IConnectionPointContainer,
                          private tly::com::SinkObserver {
public:
    CDeviceTranslator();
    virtual ~CDeviceTranslator();

    // ITranslate.
    STDMETHODIMP Ors_CreateCommunicationObject() override;
    STDMETHODIMP Ors_ConnectCommunicationManager(GUID* iid, IUnknown* pIUnknown) override;
    STDMETHODIMP Ors_RequireCTManager(int* ManagerRequired) override;
    STDMETHODIMP Ors_InitCommunication() override;
    STDMETHODIMP Ors_InitializePanel() override;
    STDMETHODIMP Ors_SetPanelOffline() override;
    STDMETHODIMP Ors_SetPanelID(int panel_id) override;
    STDMETHODIMP Ors_SetEventCounter(LONG vl_Counter) override;
    STDMETHODIMP Ors_GetPanelID(int* panel_id) override;
    STDMETHODIMP Ors_IncrementMonitorReq() override;
    STDMETHODIMP Ors_DecrementMonitorReq() override;
    STDMETHODIMP Ors_PollPanelForEvents() override;
    STDMETHODIMP Ors_UnsolicitedEventRequest(LONG ll_EventNumber, LONG vb_WaitForEvent) override;
    STDMETHODIMP Ors_GetPanelEventSerialNumber(LONG* num) override;
    STDMETHODIMP Ors_CloseCommunication() override;
    STDMETHODIMP Ors_GetSystemStatus(_SYSTEM_STATUS* p_Status) override;
    STDMETHODIMP Ors_ReadClock(tm* prl_Time) override;
    STDMETHODIMP Ors_SendPanelNextDirectCmd() override;
    STDMETHODIMP Ors_SetClock(LONG vl_Time, LONG vb_WaitForRsp) override;
    STDMETHODIMP Ors_SetDBEnabledFlag(LONG vb_IsDBLoggingEvents) override;
    STDMETHODIMP Ors_DownloadFirmware() override;
    STDMETHODIMP Ors_IsDownloadFinished() override;
    STDMETHODIMP Ors_SetDownloadInProgressState(LONG State) override;
    STDMETHODIMP Ors_ConnectToPanel(LONG vb_Connect, LONG vb_GenerateEvent) override;
    STDMETHODIMP Ors_IssueColdStartCmd() override;
    STDMETHODIMP Ors_ResetPowerUpFlag() override;
    STDMETHODIMP Ors_SetCommunicationType(int vi_Value) override;
    STDMETHODIMP Ors_GetCommunicationType(int* Value) override;
    STDMETHODIMP Ors_SetCommunicationType2(int vi_Value) override;
    STDMETHODIMP Ors_GetCommunicationType2(int* Value) override;
    STDMETHODIMP Ors_SetDST(LONG vi_Value) override;
    STDMETHODIMP Ors_GetDST(LONG* Value) override;
    STDMETHODIMP Ors_SetPanelState(int vi_Value) override;
    STDMETHODIMP Ors_GetPanelState(int* Value) override;
    STDMETHODIMP Ors_SetDirectCmd(unsigned char* pro_Data) override;
    STDMETHODIMP Ors_SetPanelType(int Value) override;
    STDMETHODIMP Ors_GetPanelType(int* Value) override;
    STDMETHODIMP Ors_SetPanelTZInfo(_TZI* Value) override;
    STDMETHODIMP Ors_GetPanelTZInfo(_TZI* Value) override;
    STDMETHODIMP Ors_SetPanelName(BSTR panelName) override;
    STDMETHODIMP Ors_IsPanelOnline(LONG* Value) override;
    STDMETHODIMP Ors_GetVersionInfo(LONG* major, LONG* minor, LONG* build) override;
    STDMETHODIMP Ors_SetPanelPassword(BSTR password) override;

    // IComConfig.
    STDMETHODIMP Ors_SetComPort(int Value) override;
    STDMETHODIMP Ors_GetComPort(int* Value) override;
    STDMETHODIMP Ors_SetComPort2(int Value) override;
    STDMETHODIMP Ors_GetComPort2(int* Value) override;
    STDMETHODIMP Ors_SetBaudRate(int Value) override;
    STDMETHODIMP Ors_GetBaudRate(int* Value) override;
    STDMETHODIMP Ors_SetPanelAddress(int Value) override;
    STDMETHODIMP Ors_GetPanelAddress(int* Value) override;
    STDMETHODIMP Ors_SetPrimaryIP(int Value) override;
    STDMETHODIMP Ors_GetPrimaryIP(int* Value) override;
    STDMETHODIMP Ors_SetSecondaryIP(int Value) override;
    STDMETHODIMP Ors_GetSecondaryIP(int* Value) override;
    STDMETHODIMP Ors_SetByteSize(int Value) override;
    STDMETHODIMP Ors_GetByteSize(int* Value) override;
    STDMETHODIMP Ors_SetParity(int Value) override;
    STDMETHODIMP Ors_GetParity(int* Value) override;
    STDMETHODIMP Ors_SetStopBits(int Value) override;
    STDMETHODIMP Ors_GetStopBits(int* Value) override;

    // IConnectionPointContainer: one point, for IDistributeEvent.
    STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** points) override;
    STDMETHODIMP FindConnectionPoint(REFIID iid, IConnectionPoint** point) override;

    // The profile file whose [Service] EnableEventStorageInPanel steers the
    // monitoring test; "ACS.INI" (in the Windows directory) unless a test
    // names another. Read by each constructor.
    static void SetProfileFileForTesting(const std::wstring& path);

protected:
    // Hooks. The defaults report success and do nothing.
    virtual bool NotifyCommLost();
    virtual bool NotifyCommRestored();
    virtual bool InitPanel();
    virtual bool PrePoll();

    // The offline step: a panel that was online reports the loss once; the
    // panel is then offline and unsolicited events are off.
    void RunOfflineStep();

    std::int32_t PanelId() const noexcept { return channel_->PanelId(); }
    int PanelState() const noexcept { return panelState_.load(); }
    // The framework's monitoring test: always true unless events are stored
    // in the panel, then whether the host asked for monitoring.
    bool IsMonitoringRequested() const;

    const std::shared_ptr<HostEventChannel>& Channel() const noexcept { return channel_; }

private:
    void SinkAdvised(IUnknown* sink) noexcept override;
    void SinkUnadvised() noexcept override;

    // Shared with call-backs that deliver to this object; see HostEventChannel.
    std::shared_ptr<HostEventChannel> channel_;
    tly::com::SingleSinkConnectionPoint connectionPoint_;
    CLocalNamedPipe directCommands_;

    const int enableEventStorageInPanel_;
    std::atomic<int> panelState_{0};
    std::atomic<bool> lossReported_{false};
    std::atomic<bool> unsolicitedEvents_{false};

    std::atomic<int> communicationType_{0};
    std::atomic<int> communicationType2_{0};
    std::atomic<LONG> dst_{0};
    std::atomic<int> panelType_{0};
    std::atomic<LONG> dbEnabled_{0};
    std::atomic<LONG> downloadInProgress_{0};

    std::atomic<int> comPort_{0};
    std::atomic<int> comPort2_{0};
    std::atomic<int> baudRate_{9600};
    std::atomic<int> panelAddress_{0};
    std::atomic<int> primaryIp_{0};
    std::atomic<int> secondaryIp_{0};
    std::atomic<int> byteSize_{0};
    std::atomic<int> parity_{0};
    std::atomic<int> stopBits_{0};

    mutable tly::Mutex lock_;  // the object lock, a leaf
    int monitorRequests_ TLY_GUARDED_BY(lock_) = 0;
    _TZI timeZone_ TLY_GUARDED_BY(lock_){};
    std::wstring panelName_ TLY_GUARDED_BY(lock_);
    std::wstring panelPassword_ TLY_GUARDED_BY(lock_);
};
