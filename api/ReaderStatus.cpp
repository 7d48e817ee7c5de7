// The snapshot of a panel's online readers for the host's status request.

#include "api/TLYApiImpl.h"

#include <algorithm>
#include <exception>
#include <functional>
#include <new>
#include <unordered_set>

namespace {

// The reader indices of one panel's online readers, each once, in the order
// first found.
class OnlineIndices {
public:
    explicit OnlineIndices(std::int32_t panelId) : prefix_(std::to_string(panelId) + ":") {}

    // Adds the index that follows the panel prefix of an external id; an id of
    // another panel or without a number after the prefix adds nothing.
    void AddFromExternalId(const std::string& externalId) {
        if (externalId.empty() || externalId.compare(0, prefix_.size(), prefix_) != 0) return;
        try {
            const std::int32_t index = std::stoi(externalId.substr(prefix_.size()), nullptr, 10);
            if (seen_.insert(index).second) indices_.push_back(index);
        } catch (const std::exception&) {
        }
    }
    const std::vector<std::int32_t>& Indices() const { return indices_; }

private:
    const std::string prefix_;
    std::vector<std::int32_t> indices_;
    std::unordered_set<std::int32_t> seen_;
};

}  // namespace

void TLYApiImpl::GetReadersStatus(std::int32_t panelId, ReaderStatusList* list) {
    if (!list) return;
    list->items = nullptr;
    list->count = 0;

    ReloadForStatus(panelId);  // reloads, re-queues transitions and runs the pending activities

    OnlineIndices online(panelId);
    {
        std::scoped_lock lock(connectedReadersMutex, handheldsMutex, readersMutex, doorsMutex);
        std::vector<const ReaderInfo*> doorReaders;
        for (const HandheldInfo& connected : connectedReaders) {
            const HandheldInfo* handheld = FindHandheldByGuid(connected.guid);
            if (!handheld) continue;
            online.AddFromExternalId(handheld->external_id);
            // The handheld's door comes from the handheld list, not the connected entry.
            const DoorInfo* door = FindDoorById(handheld->door_id);
            if (!door) continue;
            // Every reader with the entry or the exit reader id, in list order.
            doorReaders.clear();
            auto take = [&doorReaders](const ReaderInfo& reader) { doorReaders.push_back(&reader); };
            readersById.ForEach(readers, door->external_entry_reader_id, take);
            if (door->external_exit_reader_id != door->external_entry_reader_id) {
                readersById.ForEach(readers, door->external_exit_reader_id, take);
            }
            std::sort(doorReaders.begin(), doorReaders.end(), std::less<const ReaderInfo*>());
            for (const ReaderInfo* reader : doorReaders) online.AddFromExternalId(reader->external_id);
        }
    }
    const std::vector<std::int32_t>& indices = online.Indices();
    if (indices.empty()) return;

    auto* items = new (std::nothrow) ReaderStatusEntry[indices.size()];
    if (!items) return;
    for (size_t i = 0; i < indices.size(); ++i) items[i] = {indices[i], 1};
    list->items = items;
    list->count = static_cast<std::int32_t>(indices.size());
}
