#include "translator/HostEventRecords.h"

#include "platform/CivilTime.h"
#include "platform/Clock.h"

#include <cstring>

namespace tly {
namespace {

_ORSMESSAGE NewRecord(std::int32_t panelId, std::uint32_t serial) {
    _ORSMESSAGE record;
    std::memset(&record, 0, sizeof(record));
    record.sl_Size = sizeof(_ORSMESSAGE);
    record.sl_SerialNumber = serial;
    record.ss_AccessPanelID = static_cast<short>(panelId);
    return record;
}

_ORSMESSAGE CardRecord(std::int32_t panelId, std::uint32_t serial, std::int32_t readerIndex, std::int64_t badgeNumber,
                       std::int32_t eventType, std::int32_t eventId, std::uint32_t eventTime) {
    _ORSMESSAGE record = NewRecord(panelId, serial);
    record.sl_Time = eventTime != 0 ? eventTime : CurrentHostTime();
    record.sb_EventType = static_cast<unsigned char>(eventType);
    record.sb_EventID = static_cast<unsigned short>(eventId);
    record.sb_DeviceID = static_cast<unsigned short>(readerIndex);
    record.sb_EventDataType = kDataCard;
    record.su_EventData.us_DataCA.sl_CardNumber = badgeNumber;
    record.su_EventData.us_DataCA.sl_IssueCode = 0xFFFFFFFFu;
    return record;
}

}  // namespace

std::uint32_t HostTimeFromCalendar(const SYSTEMTIME& time) {
    if (time.wYear < 1970 || time.wYear > 2037) return kNoHostTime;
    return static_cast<std::uint32_t>(SecondsSince1970(time));
}

std::uint32_t CurrentHostTime() { return HostTimeFromCalendar(CurrentClock().LocalTime()); }

std::uint32_t CurrentUtcSeconds() { return static_cast<std::uint32_t>(SecondsSince1970(CurrentClock().UtcTime())); }

_ORSMESSAGE BadgeRecord(std::int32_t panelId, std::uint32_t serial, std::int32_t readerIndex,
                        std::int64_t badgeNumber, std::int32_t eventType, std::int32_t eventId,
                        std::uint32_t eventTime) {
    if (eventType == 1 && eventId == 0) {
        _ORSMESSAGE record = NewRecord(panelId, serial);
        record.sl_Time = eventTime != 0 ? eventTime : CurrentHostTime();
        record.sb_EventType = 1;
        record.sb_DeviceID = static_cast<unsigned short>(readerIndex);
        record.sb_EventDataType = kDataNone;
        return record;
    }
    return CardRecord(panelId, serial, readerIndex, badgeNumber, eventType, eventId, eventTime);
}

_ORSMESSAGE AlarmRecord(std::int32_t panelId, std::uint32_t serial, std::int32_t readerIndex,
                        std::int64_t badgeNumber, std::int32_t eventType, std::int32_t eventId,
                        std::uint32_t eventTime) {
    return CardRecord(panelId, serial, readerIndex, badgeNumber, eventType, eventId, eventTime);
}

_ORSMESSAGE CommunicationRecord(std::int32_t panelId, std::uint32_t serial, std::uint16_t eventId) {
    _ORSMESSAGE record = NewRecord(panelId, serial);
    record.sl_Time = CurrentHostTime();
    record.sb_EventType = 4;
    record.sb_EventID = eventId;
    record.sb_EventDataType = kDataCommunication;
    return record;
}

_ORSMESSAGE StatusRecord(std::int32_t panelId, std::uint32_t serial, std::int32_t deviceId, std::uint32_t status) {
    _ORSMESSAGE record = NewRecord(panelId, serial);
    record.sl_Time = CurrentHostTime();
    record.sb_MessageType = 1;
    record.sb_DeviceID = static_cast<unsigned short>(deviceId);
    record.sb_EventDataType = kDataStatus;
    record.su_EventData.us_StatusRequest.sl_StatusType = 0;
    record.su_EventData.us_StatusRequest.sl_Status = status;
    return record;
}

_ORSMESSAGEEX ExtendedRecord(const _ORSMESSAGE& record, bool hasText) {
    _ORSMESSAGEEX extended;
    std::memset(&extended, 0, sizeof(extended));
    std::memcpy(&extended, &record, sizeof(record));
    extended.sl_Size = sizeof(_ORSMESSAGEEX);
    extended.sb_AssociatedText = hasText ? 1 : 0;
    // Card data (type 2) and the two words of type 27 keep their places in the
    // copy. A status report's status widens to 64 bits, which moves it and
    // the text after it.
    if (record.sb_EventDataType == kDataStatus) {
        const auto& status = record.su_EventData.us_StatusRequest;
        auto& wide = extended.su_EventData.us_StatusRequest;
        wide.sl_StatusType = status.sl_StatusType;
        wide.sl_Status = status.sl_Status;
        std::memcpy(wide.sc_String, status.sc_String, sizeof(wide.sc_String));
    }
    return extended;
}

}  // namespace tly
