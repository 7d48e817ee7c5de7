#pragma once
// The badge event file: records that something outside the system writes into
// "badge_events_pending.json" beside the module are delivered to the host as
// badge activity events by the translator of their panel, then moved into
// "badge_events_sent.json" with the time and result of delivery.

#include <cstdint>
#include <functional>
#include <string>

// Delivers one event exactly as the badge activity call-back does.
using BadgeEventDelivery = std::function<void(std::int32_t readerId, std::int64_t cardNumber, std::int32_t eventType,
                                              std::int32_t eventId, std::uint32_t eventTime)>;

// One pass for a panel. Never throws. Passes of the process are serialised;
// a pass that finds another running skips (the next poll runs it again).
void RunBadgeEventFilePass(std::int32_t panelId, const BadgeEventDelivery& deliver);

// The event id of a derived denial.
std::int32_t DenyReasonEventId(const std::string& reason);

// Seconds since 1970 of a "Y-M-DTh:m:s" text taken as UTC: 0 without six
// numbers, 0xFFFFFFFF when the time cannot be converted.
std::uint32_t BadgeEventTime(const std::string& timestamp);
