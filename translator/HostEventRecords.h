#pragma once
// The host event records the translator sends: how each kind is built, how the
// 104-byte record becomes the 216-byte form the sink receives, and the host's
// notion of time.

#include "TallyportAccessControl.h"

#include <cstdint>

namespace tly {

inline constexpr std::uint32_t kNoHostTime = 0xFFFFFFFFu;

// Event data types the translator uses.
inline constexpr std::uint8_t kDataNone = 0;
inline constexpr std::uint8_t kDataCard = 2;
inline constexpr std::uint8_t kDataCommunication = 3;
inline constexpr std::uint8_t kDataStatus = 19;
inline constexpr std::uint8_t kDataWords = 27;

// Communication events (event type 4).
inline constexpr std::uint16_t kEventCommLost = 76;
inline constexpr std::uint16_t kEventCommRestored = 77;

// A calendar date and time packed as seconds since 1970-01-01 00:00:00, read
// as if it were UTC; kNoHostTime for years outside 1970 to 2037.
std::uint32_t HostTimeFromCalendar(const SYSTEMTIME& time);

// The machine's local time in that form: the time of events without one.
std::uint32_t CurrentHostTime();

// Seconds since 1970 in UTC, truncated to 32 bits.
std::uint32_t CurrentUtcSeconds();

// Badge activity: (event type 1, event id 0) has no card data; every other
// pair carries the badge number as a card event. A time of 0 means now.
_ORSMESSAGE BadgeRecord(std::int32_t panelId, std::uint32_t serial, std::int32_t readerIndex,
                        std::int64_t badgeNumber, std::int32_t eventType, std::int32_t eventId,
                        std::uint32_t eventTime);

// Alarm: always the card form.
_ORSMESSAGE AlarmRecord(std::int32_t panelId, std::uint32_t serial, std::int32_t readerIndex,
                        std::int64_t badgeNumber, std::int32_t eventType, std::int32_t eventId,
                        std::uint32_t eventTime);

// Communication lost (kEventCommLost) or restored (kEventCommRestored).
_ORSMESSAGE CommunicationRecord(std::int32_t panelId, std::uint32_t serial, std::uint16_t eventId);

// Status report of the panel (device 0) or of one reader: 1 online, 0 offline.
_ORSMESSAGE StatusRecord(std::int32_t panelId, std::uint32_t serial, std::int32_t deviceId, std::uint32_t status);

// The form handed to the sink. hasText sets sb_AssociatedText.
_ORSMESSAGEEX ExtendedRecord(const _ORSMESSAGE& record, bool hasText);

}  // namespace tly
