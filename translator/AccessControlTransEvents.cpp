// Event records for the host: the native call-backs, the communication
// notifications and the reader status updates. Every record goes out through
// the object's HostEventChannel.

#include "translator/AccessControlTrans.h"

#include "api/DeliveryPanel.h"
#include "translator/CurrentTranslator.h"
#include "translator/HostEventRecords.h"
#include "translator/NativeCallbacks.h"

#include <string_view>

namespace tly {

void __cdecl OnBadgeActivity(std::int32_t readerIndex, std::int64_t badgeNumber, std::int32_t eventType,
                             std::int32_t eventId, std::uint32_t eventTime) {
    try {
        const std::shared_ptr<HostEventChannel> channel = DeliveryChannel(CurrentDeliveryPanel());
        if (!channel) return RefuseCurrentDelivery();
        // A sink that refuses the record, or none advised, has not taken it.
        if (!channel->Distribute(BadgeRecord(channel->PanelId(), channel->NextSerialNumber(), readerIndex,
                                             badgeNumber, eventType, eventId, eventTime))) {
            RefuseCurrentDelivery();
        }
    } catch (...) {
        RefuseCurrentDelivery();  // nothing reached the host
    }
}

void __cdecl OnAlarmEvent(std::int32_t readerIndex, std::int64_t badgeNumber, std::int32_t eventType,
                          std::int32_t eventId, std::uint32_t eventTime, const wchar_t* text) {
    try {
        const std::shared_ptr<HostEventChannel> channel = DeliveryChannel(CurrentDeliveryPanel());
        if (!channel) return RefuseCurrentDelivery();
        if (!channel->DistributeWithText(AlarmRecord(channel->PanelId(), channel->NextSerialNumber(), readerIndex,
                                                     badgeNumber, eventType, eventId, eventTime),
                                         text ? std::wstring_view(text) : std::wstring_view())) {
            RefuseCurrentDelivery();
        }
    } catch (...) {
        RefuseCurrentDelivery();
    }
}

void __cdecl OnDisplayMessage(const wchar_t*) {}

void __cdecl OnServiceStatusChanged(bool connected) {
    try {
        LogTranslatorEvent(connected ? LogLevel::Info : LogLevel::Warn, "service.status_changed",
                           connected ? "Tallyport service connected" : "Tallyport service disconnected",
                           {{"connected", connected}});
    } catch (...) {
    }
}

}  // namespace tly

void CAccessControlTrans::DeliverBadgeActivity(std::int32_t readerIndex, std::int64_t badgeNumber,
                                               std::int32_t eventType, std::int32_t eventId,
                                               std::uint32_t eventTime) {
    HostEventChannel& channel = *Channel();
    channel.Distribute(tly::BadgeRecord(channel.PanelId(), channel.NextSerialNumber(), readerIndex, badgeNumber,
                                        eventType, eventId, eventTime));
}

void CAccessControlTrans::SendCommunicationEvents(std::uint16_t eventId, std::uint32_t status) {
    HostEventChannel& channel = *Channel();
    channel.Distribute(tly::CommunicationRecord(channel.PanelId(), channel.NextSerialNumber(), eventId));
    channel.Distribute(tly::StatusRecord(channel.PanelId(), channel.NextSerialNumber(), 0, status));
}

bool CAccessControlTrans::NotifyCommLost() {
    // With the panel down the host holds its readers down too.
    reportedReaders_.Forget();
    SendCommunicationEvents(tly::kEventCommLost, 0);
    return true;
}

bool CAccessControlTrans::NotifyCommRestored() {
    SendCommunicationEvents(tly::kEventCommRestored, 1);
    return true;
}

void CAccessControlTrans::SendRestoredEvent() {
    HostEventChannel& channel = *Channel();
    channel.Distribute(tly::CommunicationRecord(channel.PanelId(), channel.NextSerialNumber(),
                                                tly::kEventCommRestored));
}

void CAccessControlTrans::SendReaderStatus(std::int32_t readerId, bool online) {
    LogTranslatorEvent(LogLevel::Debug, online ? "reader.online_status_update" : "reader.offline_status_update",
                       online ? "Updating reader status to online" : "Updating reader status to offline",
                       {{"panel_id", PanelId()}, {"reader_id", readerId}});
    HostEventChannel& channel = *Channel();
    channel.Distribute(tly::StatusRecord(channel.PanelId(), channel.NextSerialNumber(), readerId, online ? 1 : 0));
}
