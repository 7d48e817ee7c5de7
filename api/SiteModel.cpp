#include "api/SiteModel.h"

#include <algorithm>
#include <functional>
#include <unordered_set>

std::size_t SiteModel::ReplaceDoors(std::vector<DoorInfo> doors) {
    tly::MutexLock guard(lock_);
    doors_ = std::move(doors);
    doorsById_.MarkStale();
    return doors_.size();
}

std::size_t SiteModel::ReplaceHandhelds(std::vector<HandheldInfo> handhelds) {
    tly::MutexLock guard(lock_);
    handhelds_ = std::move(handhelds);
    handheldsByGuid_.MarkStale();
    return handhelds_.size();
}

std::size_t SiteModel::ReplacePanelReaders(std::int32_t panelId, std::vector<ReaderInfo> readers) {
    tly::MutexLock guard(lock_);
    readers_.erase(std::remove_if(readers_.begin(), readers_.end(),
                                  [panelId](const ReaderInfo& r) { return IsReaderOfPanel(r.external_id, panelId); }),
                   readers_.end());
    readers_.insert(readers_.end(), std::make_move_iterator(readers.begin()), std::make_move_iterator(readers.end()));
    readersByGuid_.MarkStale();
    readersById_.MarkStale();
    return readers_.size();
}

std::size_t SiteModel::ReplaceConnected(std::vector<HandheldInfo> connected) {
    tly::MutexLock guard(lock_);
    connected_ = std::move(connected);
    return connected_.size();
}

void SiteModel::ReplaceAll(std::vector<DoorInfo> doors, std::vector<HandheldInfo> handhelds,
                           std::vector<ReaderInfo> readers, std::vector<HandheldInfo> connected) {
    tly::MutexLock guard(lock_);
    doors_ = std::move(doors);
    handhelds_ = std::move(handhelds);
    readers_ = std::move(readers);
    connected_ = std::move(connected);
    MarkIndexesStale();
}

void SiteModel::MarkIndexesStale() {
    doorsById_.MarkStale();
    handheldsByGuid_.MarkStale();
    readersByGuid_.MarkStale();
    readersById_.MarkStale();
}

std::vector<HandheldInfo> SiteModel::ConnectedSnapshot() const {
    tly::MutexLock guard(lock_);
    return connected_;
}

// After the first load of the process the queues are emptied and filled
// again from the lists: offline every known reader that no connected handheld
// serves, then online the readers the connected handhelds serve, so the host
// ends up with the server's picture whatever it missed.
//
// Panels collect their queues while other panels' status requests reload, so
// the queues are never left half filled: everything is worked out from one
// picture of the lists and queued under one hold of the queues' lock. And a
// served reader is not queued offline first: a poll collects the offline queue
// and then the online queue, and a reload landing between the two would leave
// its offline transition behind the online one, so the host would see it go
// offline although it never did.
void SiteModel::ReconcileTransitions(bool firstLoad) {
    tly::MutexLock guard(lock_);
    std::vector<const ReaderInfo*> served;  // in the order they are queued online
    for (const HandheldInfo& connected : connected_) ServedReaders(connected.guid, served);
    std::vector<std::string> servedIds;
    std::unordered_set<std::string> online;
    for (const ReaderInfo* reader : served) {
        servedIds.push_back(reader->external_id);
        online.insert(reader->external_id);
    }
    if (firstLoad) {
        for (const std::string& id : servedIds) transitions_.Queue(id, true);
        return;
    }
    std::vector<std::string> unserved;
    for (const ReaderInfo& reader : readers_) {
        if (!online.count(reader.external_id)) unserved.push_back(reader.external_id);
    }
    transitions_.Replace(unserved, servedIds);
}

void SiteModel::ReaderConnected(HandheldInfo connected) {
    tly::MutexLock guard(lock_);
    const std::string guid = connected.guid;
    connected_.push_back(std::move(connected));
    QueueServedOnline(guid);
}

void SiteModel::ReaderDisconnected(const std::string& guid, std::int32_t handheldId) {
    tly::MutexLock guard(lock_);
    // While the handheld is still listed, so its door is not counted as served by another.
    QueueOfflineUnlessServed(guid);
    connected_.erase(std::remove_if(connected_.begin(), connected_.end(),
                                    [handheldId](const HandheldInfo& h) { return h.id == handheldId; }),
                     connected_.end());
}

void SiteModel::ReaderDoorChanged(std::int32_t readerId, std::int32_t newDoorId, const std::string& guid) {
    tly::MutexLock guard(lock_);
    QueueOfflineUnlessServed(guid);  // with the old assignments still in place
    for (ReaderInfo& reader : readers_) {
        if (reader.id == readerId) reader.door_id = newDoorId;
    }
    for (HandheldInfo& handheld : handhelds_) {
        if (handheld.id == readerId) handheld.door_id = newDoorId;
    }
    bool isConnected = false;
    for (HandheldInfo& connected : connected_) {
        if (connected.id != readerId) continue;
        connected.door_id = newDoorId;
        isConnected = true;
    }
    if (isConnected) QueueServedOnline(guid);
}

void SiteModel::QueueServedOnline(const std::string& guid) {
    std::vector<const ReaderInfo*> served;
    ServedReaders(guid, served);
    for (const ReaderInfo* reader : served) transitions_.Queue(reader->external_id, true);
}

// A door's readers go offline only when no other connected handheld serves it.
void SiteModel::QueueOfflineUnlessServed(const std::string& guid) {
    if (const ReaderInfo* reader = FindReaderByGuid(guid)) transitions_.Queue(reader->external_id, false);
    const HandheldInfo* handheld = FindHandheldByGuid(guid);
    if (!handheld || CountOtherConnectedOnDoor(handheld->door_id, guid) != 0) return;
    const DoorInfo* door = FindDoorById(handheld->door_id);
    if (!door) return;
    if (const ReaderInfo* entry = FindReaderById(door->external_entry_reader_id)) {
        transitions_.Queue(entry->external_id, false);
    }
    if (const ReaderInfo* exit = FindReaderById(door->external_exit_reader_id)) {
        transitions_.Queue(exit->external_id, false);
    }
}

// A handheld serves its own reader (the reader with its guid) and the entry
// and exit readers of its door, in that order.
void SiteModel::ServedReaders(const std::string& guid, std::vector<const ReaderInfo*>& served) const {
    if (const ReaderInfo* reader = FindReaderByGuid(guid)) served.push_back(reader);
    const HandheldInfo* handheld = FindHandheldByGuid(guid);
    if (!handheld) return;
    const DoorInfo* door = FindDoorById(handheld->door_id);
    if (!door) return;
    if (const ReaderInfo* entry = FindReaderById(door->external_entry_reader_id)) served.push_back(entry);
    if (const ReaderInfo* exit = FindReaderById(door->external_exit_reader_id)) served.push_back(exit);
}

std::int32_t SiteModel::CountOtherConnectedOnDoor(std::int32_t doorId, const std::string& guid) const {
    return static_cast<std::int32_t>(std::count_if(connected_.begin(), connected_.end(), [&](const HandheldInfo& h) {
        return h.guid != guid && h.door_id == doorId;
    }));
}

const DoorInfo* SiteModel::FindDoorById(std::int32_t doorId) const { return doorsById_.First(doors_, doorId); }

const HandheldInfo* SiteModel::FindHandheldByGuid(const std::string& guid) const {
    return handheldsByGuid_.First(handhelds_, guid);
}

const ReaderInfo* SiteModel::FindReaderByGuid(const std::string& guid) const {
    return readersByGuid_.First(readers_, guid);
}

const ReaderInfo* SiteModel::FindReaderById(std::int32_t readerId) const {
    return readersById_.First(readers_, readerId);
}

namespace {

// The reader indices of one panel's online readers, each once, in the order
// first found.
class OnlineIndices {
public:
    explicit OnlineIndices(std::int32_t panelId) : panelId_(panelId) {}

    // An id of another panel, or one that does not read as "panel:reader", adds nothing.
    void AddFromExternalId(const std::string& externalId) {
        std::int32_t index = 0;
        if (!IsReaderOfPanel(externalId, panelId_, &index)) return;
        if (seen_.insert(index).second) indices_.push_back(index);
    }
    std::vector<std::int32_t> Take() { return std::move(indices_); }

private:
    const std::int32_t panelId_;
    std::vector<std::int32_t> indices_;
    std::unordered_set<std::int32_t> seen_;
};

}  // namespace

std::vector<std::int32_t> SiteModel::OnlineReaderIndices(std::int32_t panelId) const {
    OnlineIndices online(panelId);
    tly::MutexLock guard(lock_);
    std::vector<const ReaderInfo*> doorReaders;
    for (const HandheldInfo& connected : connected_) {
        const HandheldInfo* handheld = FindHandheldByGuid(connected.guid);
        if (!handheld) continue;
        online.AddFromExternalId(handheld->external_id);
        // The handheld's door comes from the handheld list, not the connected entry.
        const DoorInfo* door = FindDoorById(handheld->door_id);
        if (!door) continue;
        // Every reader with the entry or the exit reader id, in list order.
        doorReaders.clear();
        auto take = [&doorReaders](const ReaderInfo& reader) { doorReaders.push_back(&reader); };
        readersById_.ForEach(readers_, door->external_entry_reader_id, take);
        if (door->external_exit_reader_id != door->external_entry_reader_id) {
            readersById_.ForEach(readers_, door->external_exit_reader_id, take);
        }
        std::sort(doorReaders.begin(), doorReaders.end(), std::less<const ReaderInfo*>());
        for (const ReaderInfo* reader : doorReaders) online.AddFromExternalId(reader->external_id);
    }
    return online.Take();
}
