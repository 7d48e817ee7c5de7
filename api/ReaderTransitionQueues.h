#pragma once
// The reader transitions waiting for each panel's host: readers gone online
// and readers gone offline, queued by the reader's external id ("panel:reader")
// and drained by the panel's polls. A transition is queued for its panel
// whether or not the panel is open, so a reader change never opens a panel.
//
// It owns its queues and their one lock, a leaf: taken while the site lists'
// locks are held (a notification queues under them), never the reverse, and
// nothing is called while it is held but the log.

#include "api/ReaderQueue.h"
#include "api/TLYApi.h"
#include "platform/Mutex.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

class ReaderTransitionQueues {
public:
    void Queue(const std::string& externalId, bool online) TLY_EXCLUDES(lock_);

    // Empties both queues and fills them from one picture of the site, under
    // one hold of the lock, so a poll never sees them half filled: offline
    // first, then online, each in order.
    void Replace(const std::vector<std::string>& offline, const std::vector<std::string>& online)
        TLY_EXCLUDES(lock_);

    // Hands the panel's queued transitions to the caller's list (its items
    // allocated with the non-throwing array new). With nothing queued the
    // list is left exactly as it was.
    void Drain(std::int32_t panelId, bool online, ReaderStatusList* list) TLY_EXCLUDES(lock_);

    // The panel was closed: what it had queued goes with it.
    void ForgetPanel(std::int32_t panelId) TLY_EXCLUDES(lock_);

private:
    using Queues = std::map<std::int32_t, ReaderQueue>;
    void QueueLocked(const std::string& externalId, bool online) TLY_REQUIRES(lock_);

    tly::Mutex lock_;
    Queues online_ TLY_GUARDED_BY(lock_);
    Queues offline_ TLY_GUARDED_BY(lock_);
};
