#pragma once
// What one translator object last told its host about each reader of its
// panel, so that only real changes reach the host. The native queues hand out
// every known reader again after each site reload (offline the ones no
// connected handheld serves, online the ones they serve); netted here against
// what the host already knows, they cost the host nothing when nothing changed.

#include "api/TLYApi.h"
#include "platform/Mutex.h"

#include <cstdint>
#include <span>
#include <unordered_map>
#include <vector>

struct ReaderChange {
    std::int32_t readerId;
    bool online;
};

class ReportedReaderStates {
public:
    // Nets one poll's queues the way they are meant to be applied: the offline
    // list first, then the online list, so a reader in both ends online; an
    // entry whose flag contradicts its list is no transition. Returns the
    // readers whose final state differs from what was last reported (offline
    // ones first, each list in its order) and counts them as reported.
    std::vector<ReaderChange> TakeChanges(std::span<const ReaderStatusEntry> goneOffline,
                                          std::span<const ReaderStatusEntry> goneOnline) TLY_EXCLUDES(lock_);

    // The host was told the panel and every reader are down: the next state
    // known for each reader is reported again.
    void Forget() TLY_EXCLUDES(lock_);

private:
    tly::Mutex lock_;  // leaf
    std::unordered_map<std::int32_t, bool> reported_ TLY_GUARDED_BY(lock_);  // reader id -> online
};
