// The snapshot of a panel's online readers for the host's status request.

#include "api/TLYApiImpl.h"

#include <algorithm>
#include <exception>
#include <new>

namespace {

// Appends the reader index that follows the panel prefix of an external id,
// once; an id of another panel or without a number after the prefix adds nothing.
void AddIndexAfterPrefix(const std::string& externalId, const std::string& prefix, std::vector<std::int32_t>& result) {
    if (externalId.empty() || externalId.compare(0, prefix.size(), prefix) != 0) return;
    try {
        const std::int32_t index = std::stoi(externalId.substr(prefix.size()), nullptr, 10);
        if (std::find(result.begin(), result.end(), index) == result.end()) result.push_back(index);
    } catch (const std::exception&) {
    }
}

}  // namespace

void TLYApiImpl::GetReadersStatus(std::int32_t panelId, ReaderStatusList* list) {
    if (!list) return;
    list->items = nullptr;
    list->count = 0;

    ReloadForStatus(panelId);  // reloads, re-queues transitions and runs the pending activities

    const std::string prefix = std::to_string(panelId) + ":";
    std::vector<std::int32_t> online;
    {
        std::scoped_lock lock(connectedReadersMutex, handheldsMutex, readersMutex, doorsMutex);
        for (const HandheldInfo& connected : connectedReaders) {
            const HandheldInfo* handheld = FindHandheldByGuid(connected.guid);
            if (!handheld) continue;
            AddIndexAfterPrefix(handheld->external_id, prefix, online);
            // The handheld's door comes from the handheld list, not the connected entry.
            const DoorInfo* door = FindDoorById(handheld->door_id);
            if (!door) continue;
            for (const ReaderInfo& reader : readers) {
                if (reader.id == door->external_entry_reader_id || reader.id == door->external_exit_reader_id) {
                    AddIndexAfterPrefix(reader.external_id, prefix, online);
                }
            }
        }
    }
    if (online.empty()) return;

    auto* items = new (std::nothrow) ReaderStatusEntry[online.size()];
    if (!items) return;
    for (size_t i = 0; i < online.size(); ++i) items[i] = {online[i], 1};
    list->items = items;
    list->count = static_cast<std::int32_t>(online.size());
}
