// The badge event file: badge events that something outside the translator
// wrote into "badge_events_pending.json" beside the module, replayed to the
// host for this panel. Runs after a restore's initial-data fetch and after
// every successful poll once the initial data were fetched, while the setting
// enable_badge_event_file is on.

#include "translator/AccessControlTrans.h"

#include "translator/badges/BadgeEventFile.h"

void CAccessControlTrans::RunBadgeEventFilePass() {
    ::RunBadgeEventFilePass(PanelId(), [this](std::int32_t readerId, std::int64_t cardNumber, std::int32_t eventType,
                                              std::int32_t eventId, std::uint32_t eventTime) {
        DeliverBadgeActivity(readerId, cardNumber, eventType, eventId, eventTime);
    });
}
