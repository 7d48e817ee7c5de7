// The badge event file: badge events that something outside the translator
// wrote into "badge_events_pending.json" beside the module, replayed to the
// host for this panel. Called after a restore's initial-data fetch and after
// every successful poll once the initial data were fetched, when the setting
// enable_badge_event_file is on; DeliverBadgeActivity sends each event.

#include "translator/AccessControlTrans.h"

void CAccessControlTrans::RunBadgeEventFilePass() {
    // Not built yet: the pass reads nothing and sends nothing.
}
