#pragma once
// The site as this process knows it: the server's doors, handhelds, the
// readers of the panels loaded so far and the handhelds connected now, with
// the indexes that look them up. It works out which readers a change of the
// site brings online or takes offline and queues those transitions.
//
// It owns the four lists, their indexes and one lock. While the lock is held
// only the reader transition queues' lock (a leaf) and the log's may be
// taken: a change and the transitions it queues are one step, so a poll never
// sees half of it.

#include "api/ReaderTransitionQueues.h"
#include "api/SiteData.h"
#include "api/SiteIndex.h"

#include <cstddef>
#include <cstdint>
#include <mutex>
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
    std::size_t ReplaceDoors(std::vector<DoorInfo> doors);
    std::size_t ReplaceHandhelds(std::vector<HandheldInfo> handhelds);
    std::size_t ReplacePanelReaders(std::int32_t panelId, std::vector<ReaderInfo> readers);
    std::size_t ReplaceConnected(std::vector<HandheldInfo> connected);
    void ReplaceAll(std::vector<DoorInfo> doors, std::vector<HandheldInfo> handhelds, std::vector<ReaderInfo> readers,
                    std::vector<HandheldInfo> connected);

    // Brings the transition queues in line with the lists. The first time in
    // a process only the served readers are queued online; after that both
    // queues are refilled from the lists (see the definition).
    void ReconcileTransitions(bool firstLoad);

    // What the channel's notifications change.
    void ReaderConnected(HandheldInfo connected);
    void ReaderDisconnected(const std::string& guid, std::int32_t handheldId);
    void ReaderDoorChanged(std::int32_t readerId, std::int32_t newDoorId, const std::string& guid);

    // The reader indices of the panel's online readers, each once, in the
    // order first found: the status snapshot the host asks for.
    std::vector<std::int32_t> OnlineReaderIndices(std::int32_t panelId) const;

    std::vector<HandheldInfo> ConnectedSnapshot() const;

private:
    // lock_ held.
    void QueueServedOnline(const std::string& guid);
    void QueueOfflineUnlessServed(const std::string& guid);
    void ServedReaders(const std::string& guid, std::vector<const ReaderInfo*>& served) const;
    std::int32_t CountOtherConnectedOnDoor(std::int32_t doorId, const std::string& guid) const;
    const DoorInfo* FindDoorById(std::int32_t doorId) const;
    const HandheldInfo* FindHandheldByGuid(const std::string& guid) const;
    const ReaderInfo* FindReaderByGuid(const std::string& guid) const;
    const ReaderInfo* FindReaderById(std::int32_t readerId) const;
    void MarkIndexesStale();

    ReaderTransitionQueues& transitions_;

    mutable std::mutex lock_;  // guards everything below; only the queues' lock and the log's under it
    std::vector<DoorInfo> doors_;
    std::vector<HandheldInfo> handhelds_;
    std::vector<ReaderInfo> readers_;
    std::vector<HandheldInfo> connected_;
    // Marked stale when their list is refilled; the lookups rebuild them lazily.
    mutable SiteIndex<DoorInfo, std::int32_t> doorsById_{[](const DoorInfo& d) { return d.id; }};
    mutable SiteIndex<HandheldInfo, std::string> handheldsByGuid_{[](const HandheldInfo& h) { return h.guid; }};
    mutable SiteIndex<ReaderInfo, std::string> readersByGuid_{[](const ReaderInfo& r) { return r.guid; }};
    mutable SiteIndex<ReaderInfo, std::int32_t> readersById_{[](const ReaderInfo& r) { return r.id; }};
};
