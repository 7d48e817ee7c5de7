#pragma once
// The site as this process knows it: the server's doors, handhelds, the
// readers of the panels loaded so far and the handhelds connected now, with
// the indexes that look them up. It works out which readers a change of the
// site brings online or takes offline and queues those transitions.
//
// It owns the four lists, their indexes and one lock. While the lock is held
// only the reader transition queues' lock (which takes only the log's) and
// the log's may be taken: a change and the transitions it queues are one step, so a poll never
// sees half of it.

#include "api/ReaderTransitionQueues.h"
#include "api/SiteData.h"
#include "api/SiteIndex.h"
#include "platform/Mutex.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class SiteModel {
public:
    explicit SiteModel(ReaderTransitionQueues& transitions) : transitions_(transitions) {}
    SiteModel(const SiteModel&) = delete;
    SiteModel& operator=(const SiteModel&) = delete;

    // A freshly loaded list takes the place of the old one. A panel's readers
    // replace only that panel's share; other panels' stay in order.
    // Each returns how many records the list holds now.
    std::size_t ReplaceDoors(std::vector<DoorInfo> doors) TLY_EXCLUDES(lock_);
    std::size_t ReplaceHandhelds(std::vector<HandheldInfo> handhelds) TLY_EXCLUDES(lock_);
    std::size_t ReplacePanelReaders(std::int32_t panelId, std::vector<ReaderInfo> readers) TLY_EXCLUDES(lock_);
    std::size_t ReplaceConnected(std::vector<HandheldInfo> connected) TLY_EXCLUDES(lock_);
    void ReplaceAll(std::vector<DoorInfo> doors, std::vector<HandheldInfo> handhelds, std::vector<ReaderInfo> readers,
                    std::vector<HandheldInfo> connected) TLY_EXCLUDES(lock_);

    // Brings the transition queues in line with the lists. The first time in
    // a process only the served readers are queued online; after that both
    // queues are refilled from the lists (see the definition).
    void ReconcileTransitions(bool firstLoad) TLY_EXCLUDES(lock_);

    // What the channel's notifications change.
    void ReaderConnected(HandheldInfo connected) TLY_EXCLUDES(lock_);
    void ReaderDisconnected(const std::string& guid, std::int32_t handheldId) TLY_EXCLUDES(lock_);
    void ReaderDoorChanged(std::int32_t readerId, std::int32_t newDoorId, const std::string& guid) TLY_EXCLUDES(lock_);

    // The reader indices of the panel's online readers, each once, in the
    // order first found: the status snapshot the host asks for.
    std::vector<std::int32_t> OnlineReaderIndices(std::int32_t panelId) const TLY_EXCLUDES(lock_);

    std::vector<HandheldInfo> ConnectedSnapshot() const TLY_EXCLUDES(lock_);

private:
    void QueueServedOnline(const std::string& guid) TLY_REQUIRES(lock_);
    void QueueOfflineUnlessServed(const std::string& guid) TLY_REQUIRES(lock_);
    void ServedReaders(const std::string& guid, std::vector<const ReaderInfo*>& served) const TLY_REQUIRES(lock_);
    std::int32_t CountOtherConnectedOnDoor(std::int32_t doorId, const std::string& guid) const TLY_REQUIRES(lock_);
    const DoorInfo* FindDoorById(std::int32_t doorId) const TLY_REQUIRES(lock_);
    const HandheldInfo* FindHandheldByGuid(const std::string& guid) const TLY_REQUIRES(lock_);
    const ReaderInfo* FindReaderByGuid(const std::string& guid) const TLY_REQUIRES(lock_);
    const ReaderInfo* FindReaderById(std::int32_t readerId) const TLY_REQUIRES(lock_);
    void MarkIndexesStale() TLY_REQUIRES(lock_);

    ReaderTransitionQueues& transitions_;

    mutable tly::Mutex lock_;  // only the queues' lock and the log's under it
    std::vector<DoorInfo> doors_ TLY_GUARDED_BY(lock_);
    std::vector<HandheldInfo> handhelds_ TLY_GUARDED_BY(lock_);
    std::vector<ReaderInfo> readers_ TLY_GUARDED_BY(lock_);
    std::vector<HandheldInfo> connected_ TLY_GUARDED_BY(lock_);
    // Marked stale when their list is refilled; the lookups rebuild them lazily.
    mutable SiteIndex<DoorInfo, std::int32_t> doorsById_ TLY_GUARDED_BY(lock_){[](const DoorInfo& d) { return d.id; }};
    mutable SiteIndex<HandheldInfo, std::string> handheldsByGuid_ TLY_GUARDED_BY(lock_){
        [](const HandheldInfo& h) { return h.guid; }};
    mutable SiteIndex<ReaderInfo, std::string> readersByGuid_ TLY_GUARDED_BY(lock_){
        [](const ReaderInfo& r) { return r.guid; }};
    mutable SiteIndex<ReaderInfo, std::int32_t> readersById_ TLY_GUARDED_BY(lock_){
        [](const ReaderInfo& r) { return r.id; }};
};
