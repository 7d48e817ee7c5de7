#pragma once
// The host interfaces whose methods this translator does not implement: every
// method answers E_NOTIMPL and has no effect, except that
// Ors_GetUseTwoWireRS485 first writes 0 through its pointer.

#include "TallyportAccessControl.h"

class CUnsupportedHostMethods : public IOutput, public IInput, public IAccessControl {
public:
    // IOutput.
    STDMETHODIMP Ors_SetAlarmOutputTZ() override { return E_NOTIMPL; }
    STDMETHODIMP Ors_SetAlarmOutputCfg() override { return E_NOTIMPL; }
    STDMETHODIMP Ors_SetAlarmOutputMode() override { return E_NOTIMPL; }
    STDMETHODIMP Ors_SetAlarmOutputLinkage() override { return E_NOTIMPL; }
    STDMETHODIMP Ors_GetAlarmOutputStatus() override { return E_NOTIMPL; }

    // IInput.
    STDMETHODIMP Ors_SetAlarmInputCfg() override { return E_NOTIMPL; }
    STDMETHODIMP Ors_SetAlarmInputTZ() override { return E_NOTIMPL; }
    STDMETHODIMP Ors_SetAlarmInputMask() override { return E_NOTIMPL; }
    STDMETHODIMP Ors_SetZoneGroupDef() override { return E_NOTIMPL; }
    STDMETHODIMP Ors_GetAlarmMaskGroupStatus() override { return E_NOTIMPL; }
    STDMETHODIMP Ors_GetAlarmInputStatus() override { return E_NOTIMPL; }
    STDMETHODIMP Ors_SetAlarmInputEntryDelay() override { return E_NOTIMPL; }
    STDMETHODIMP Ors_SetAlarmMaskGroupMaskLevel() override { return E_NOTIMPL; }

    // IAccessControl.
    STDMETHODIMP Ors_SetDownloadableReader() override { return E_NOTIMPL; }
    STDMETHODIMP Ors_BulkAddBadge() override { return E_NOTIMPL; }
    STDMETHODIMP Ors_DeleteBadge() override { return E_NOTIMPL; }
    STDMETHODIMP Ors_AddBadge() override { return E_NOTIMPL; }
    STDMETHODIMP Ors_SetCardFormat() override { return E_NOTIMPL; }
    STDMETHODIMP Ors_SetReaderModeControl() override { return E_NOTIMPL; }
    STDMETHODIMP Ors_SetReaderOutputControl() override { return E_NOTIMPL; }
    STDMETHODIMP Ors_SetReaderTimezoneList() override { return E_NOTIMPL; }
    STDMETHODIMP Ors_GetReaderStatus() override { return E_NOTIMPL; }
    STDMETHODIMP Ors_ResetAPBForAllCardholders() override { return E_NOTIMPL; }
    STDMETHODIMP Ors_SetReaderAlarmMask() override { return E_NOTIMPL; }
    STDMETHODIMP Ors_SetReaderDefinition() override { return E_NOTIMPL; }
    STDMETHODIMP Ors_AddAccessLevels() override { return E_NOTIMPL; }
    STDMETHODIMP Ors_AddDownloadAccessLevels() override { return E_NOTIMPL; }
    STDMETHODIMP Ors_DeleteAccessLevel() override { return E_NOTIMPL; }
    STDMETHODIMP Ors_AddElevatorAccessLevel() override { return E_NOTIMPL; }
    STDMETHODIMP Ors_AddElevatorAccessLevelPerTZ() override { return E_NOTIMPL; }
    STDMETHODIMP Ors_SetAreaAPBTable() override { return E_NOTIMPL; }
    STDMETHODIMP Ors_ManualOpenDoor() override { return E_NOTIMPL; }
    STDMETHODIMP Ors_SetAreaAPB() override { return E_NOTIMPL; }
    STDMETHODIMP Ors_AddCommandAccessLevel() override { return E_NOTIMPL; }
    STDMETHODIMP Ors_DeleteCommandAccessLevel() override { return E_NOTIMPL; }
    STDMETHODIMP Ors_DeleteDownloadAccessLevel() override { return E_NOTIMPL; }
    STDMETHODIMP Ors_DeleteReaderDefinition() override { return E_NOTIMPL; }
    STDMETHODIMP Ors_SetControllerReaderDef() override { return E_NOTIMPL; }
    STDMETHODIMP Ors_SetControllerAlarmDef() override { return E_NOTIMPL; }
    STDMETHODIMP Ors_ResetCardholderUseLimits() override { return E_NOTIMPL; }
    STDMETHODIMP Ors_SetCardRecCfg() override { return E_NOTIMPL; }
    STDMETHODIMP Ors_SetCardholderConfiguration() override { return E_NOTIMPL; }
    STDMETHODIMP Ors_SetCardExType() override { return E_NOTIMPL; }
    STDMETHODIMP Ors_GetCardExType() override { return E_NOTIMPL; }
    STDMETHODIMP Ors_ActivateElevatorOutput() override { return E_NOTIMPL; }
    STDMETHODIMP Ors_AddHolidays() override { return E_NOTIMPL; }
    STDMETHODIMP Ors_AddTimezone() override { return E_NOTIMPL; }
    STDMETHODIMP Ors_DeleteTimezone() override { return E_NOTIMPL; }
    STDMETHODIMP Ors_GetAreaStatus() override { return E_NOTIMPL; }
    STDMETHODIMP Ors_ExecuteIV() override { return E_NOTIMPL; }
    STDMETHODIMP Ors_SetFunctionList() override { return E_NOTIMPL; }
    STDMETHODIMP Ors_SetZoneToIVLinks() override { return E_NOTIMPL; }
    STDMETHODIMP Ors_SetInterPanelLinks() override { return E_NOTIMPL; }
    STDMETHODIMP Ors_ActivateTimezone() override { return E_NOTIMPL; }
    STDMETHODIMP Ors_GrantOneFreePass() override { return E_NOTIMPL; }
    STDMETHODIMP Ors_SetUseTwoWireRS485(int) override { return E_NOTIMPL; }
    STDMETHODIMP Ors_GetUseTwoWireRS485(int* Value) override {
        if (Value) *Value = 0;
        return E_NOTIMPL;
    }
    STDMETHODIMP Ors_DownloadReaderFirmware() override { return E_NOTIMPL; }
    STDMETHODIMP Ors_ReaderDownload() override { return E_NOTIMPL; }
    STDMETHODIMP Ors_HostAccessResponse() override { return E_NOTIMPL; }
};
