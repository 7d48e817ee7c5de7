#pragma once
// The translator object the host creates for each panel (coclass
// AccessControlTrans). It turns the host's lifecycle, poll and status calls
// into calls of the native layer for its panel id, and delivers what the
// native layer reports back (badge activity, alarms, reader and communication
// state) to the host's event sink as event records.
//
// Its code is split by concern: AccessControlTransLifecycle.cpp (construction,
// communication set-up and close), AccessControlTransPolling.cpp (panel
// initialisation, polls, reconnection, status) and AccessControlTransEvents.cpp
// (the native call-backs and the records sent to the host).

#include "TallyportAccessControl.h"
#include "logging/Log.h"
#include "translator/DeviceTranslator.h"
#include "translator/ReportedReaderStates.h"
#include "translator/UnsupportedHostMethods.h"
#include "translator/framework/ComObjectRoot.h"

#include <cstdint>
#include <span>

class CAccessControlTrans : public CDeviceTranslator, public ITranslate4, public CUnsupportedHostMethods {
public:
    CAccessControlTrans();
    ~CAccessControlTrans() override;

    static std::span<const tly::com::InterfaceEntry> InterfaceMap();

    // ITranslate methods this translator replaces.
    STDMETHODIMP Ors_CreateCommunicationObject() override;
    STDMETHODIMP Ors_RequireCTManager(int* ManagerRequired) override;
    STDMETHODIMP Ors_InitCommunication() override;
    STDMETHODIMP Ors_PollPanelForEvents() override;
    STDMETHODIMP Ors_CloseCommunication() override;
    STDMETHODIMP Ors_ConnectToPanel(LONG vb_Connect, LONG vb_GenerateEvent) override;
    STDMETHODIMP Ors_GetPanelState(int* Value) override;

    // ITranslate4.
    STDMETHODIMP Ors_GetSystemStatus3(_SYSTEM_STATUS3* pStatus) override;
    STDMETHODIMP Ors_UploadEvents(LONG nDeviceType, LONG nDeviceId) override;

protected:
    bool NotifyCommLost() override;
    bool NotifyCommRestored() override;
    bool InitPanel() override;
    bool PrePoll() override;

private:
    LogFields PanelFields() const;

    // Runs a reconnection attempt when the process-wide throttle allows one;
    // successMessage is logged when the native layer reconnects.
    void TryReconnect(const char* successMessage);
    bool InitPanelOrThrow();
    void ReportReaderChanges();
    void SendReaderStatus(std::int32_t readerId, bool online);
    void SendCommunicationEvents(std::uint16_t eventId, std::uint32_t status);
    void SendRestoredEvent();

    // Replays the badge event file for this panel (AccessControlTransBadgeFile.cpp).
    void RunBadgeEventFilePass();
    // Sends a badge activity to this object's host exactly as the badge
    // activity call-back does for the translator of the activity's panel.
    void DeliverBadgeActivity(std::int32_t readerIndex, std::int64_t badgeNumber, std::int32_t eventType,
                              std::int32_t eventId, std::uint32_t eventTime);

    ReportedReaderStates reportedReaders_;
};
