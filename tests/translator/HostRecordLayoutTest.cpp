// The host records' sizes and byte offsets are part of the contract with the
// host: every one is checked at compile time.

#include "TallyportAccessControl.h"

#include <cstddef>

#define AT(type, field, offset) static_assert(offsetof(type, field) == (offset), #type "." #field)

static_assert(sizeof(_SYSTEM_STATUS3) == 16);
AT(_SYSTEM_STATUS3, nPanelId, 0);
AT(_SYSTEM_STATUS3, bAsyncStatus, 4);
AT(_SYSTEM_STATUS3, bDownloadingFirmware, 5);
AT(_SYSTEM_STATUS3, nEntries, 8);
AT(_SYSTEM_STATUS3, pEntries, 12);

static_assert(sizeof(_SYSTEM_STATUS_ENTRY) == 56);
AT(_SYSTEM_STATUS_ENTRY, nDeviceType, 0);
AT(_SYSTEM_STATUS_ENTRY, nDeviceId, 4);
AT(_SYSTEM_STATUS_ENTRY, nStatus, 8);
AT(_SYSTEM_STATUS_ENTRY, nExtStatus, 16);
AT(_SYSTEM_STATUS_ENTRY, nExtMaskedStatus, 24);
AT(_SYSTEM_STATUS_ENTRY, nFirmwareVersion, 32);
AT(_SYSTEM_STATUS_ENTRY, nActualSIOType, 36);
AT(_SYSTEM_STATUS_ENTRY, nSerialNumber, 40);
AT(_SYSTEM_STATUS_ENTRY, nAlternateReaderStatus, 44);
AT(_SYSTEM_STATUS_ENTRY, nDeviceMode, 48);
static_assert(sizeof(_SYSTEM_STATUS_ENTRY::nExtStatus) == 8 && sizeof(_SYSTEM_STATUS_ENTRY::nExtMaskedStatus) == 8);

static_assert(sizeof(_SYSTEM_STATUS) == 984);
AT(_SYSTEM_STATUS, si_PanelID, 0);
AT(_SYSTEM_STATUS, sb_AsyncStatus, 4);
AT(_SYSTEM_STATUS, sb_DownloadingFirmware, 5);
AT(_SYSTEM_STATUS, sb_Devices, 6);
AT(_SYSTEM_STATUS, sb_DeviceCabinetTamper, 87);
AT(_SYSTEM_STATUS, sb_DevicePowerFail, 168);
AT(_SYSTEM_STATUS, sb_FirmwareVersion, 252);
AT(_SYSTEM_STATUS, sb_InvalidDeviceType, 576);
AT(_SYSTEM_STATUS, si_InvalidSerialNumber, 660);

static_assert(sizeof(_TZI) == 52);
AT(_TZI, Bias, 0);
AT(_TZI, StandardBias, 4);
AT(_TZI, DaylightBias, 8);
AT(_TZI, StandardDate, 12);
AT(_TZI, DaylightDate, 28);
AT(_TZI, UTCoffset, 44);
AT(_TZI, DST, 48);
static_assert(sizeof(SYSTEMTIME) == 16);

#define ORS_HEADER(type)                              \
    static_assert(sizeof(type::sl_Size) == 4);        \
    AT(type, sl_Size, 0);                             \
    AT(type, sb_MessageType, 4);                      \
    AT(type, sb_EventType, 5);                        \
    AT(type, sb_AssociatedText, 6);                   \
    AT(type, sb_TotalNumberOfTextMessagesToFollow, 7); \
    AT(type, sl_SerialNumber, 8);                     \
    AT(type, sl_Time, 12);                            \
    AT(type, sl_InitiatingEventID, 16);               \
    AT(type, sl_EventParamValue, 20);                 \
    AT(type, sl_TransmitterID, 24);                   \
    AT(type, sl_TransmitterInputID, 28);              \
    AT(type, sl_SegmentID, 32);                       \
    AT(type, ss_AccessPanelID, 36);                   \
    AT(type, sb_DeviceID, 38);                        \
    AT(type, sb_InputDevID, 40);                      \
    AT(type, sb_EventID, 42);                         \
    AT(type, sb_IV, 44);                              \
    AT(type, sb_InputArg, 45);                        \
    AT(type, sb_InternalLUN, 46);                     \
    AT(type, sb_InternalZoneID, 47);                  \
    AT(type, sb_InternalDeviceID, 48);                \
    AT(type, sb_EventDataType, 49);                   \
    AT(type, sb_EventParam, 50);                      \
    AT(type, sb_DeviceType, 51);                      \
    AT(type, su_EventData, 56);                       \
    static_assert(sizeof(type::ss_AccessPanelID) == 2 && sizeof(type::sb_EventID) == 2)

ORS_HEADER(_ORSMESSAGE);
static_assert(sizeof(_ORSMESSAGE) == 104);
static_assert(sizeof(_ORSMESSAGE::su_EventData) == 48);
AT(_ORSMESSAGE, su_EventData.us_DataCA.sl_CardNumber, 56);
AT(_ORSMESSAGE, su_EventData.us_DataCA.sl_IssueCode, 64);
AT(_ORSMESSAGE, su_EventData.us_DataCA.sl_BioScore, 68);
AT(_ORSMESSAGE, su_EventData.us_StatusRequest.sl_StatusType, 56);
AT(_ORSMESSAGE, su_EventData.us_StatusRequest.sl_Status, 60);
AT(_ORSMESSAGE, su_EventData.us_StatusRequest.sc_String, 64);
static_assert(sizeof(_ORS_DATA_CA::sl_CardNumber) == 8 && sizeof(_ORS_DATA_STATUS_REQUEST::sc_String) == 32);

ORS_HEADER(_ORSMESSAGEEX);
static_assert(sizeof(_ORSMESSAGEEX) == 216);
AT(_ORSMESSAGEEX, su_EventData.us_DataCA.sl_CardNumber, 56);
AT(_ORSMESSAGEEX, su_EventData.us_DataCA.sl_IssueCode, 64);
AT(_ORSMESSAGEEX, su_EventData.us_DataCA.sl_BioScore, 68);
AT(_ORSMESSAGEEX, su_EventData.us_StatusRequest.sl_StatusType, 56);
AT(_ORSMESSAGEEX, su_EventData.us_StatusRequest.sl_Status, 64);
AT(_ORSMESSAGEEX, su_EventData.us_StatusRequest.sc_String, 72);
static_assert(sizeof(_ORS_DATA_STATUS_REQUEST_EX::sl_Status) == 8);
static_assert(sizeof(_ORS_DATA_STATUS_REQUEST_EX::sc_String) == 32);
