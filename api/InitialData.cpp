// Loading the server's site picture: doors, handhelds, the readers of one
// panel and the handhelds connected now, then bringing the reader transition
// queues in line with it.

#include "api/SiteRecords.h"
#include "api/TLYApiImpl.h"
#include "logging/Log.h"
#include "logging/RepeatedLines.h"
#include "platform/JsonDocument.h"

#include <algorithm>
#include <exception>
#include <unordered_set>

namespace {

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

// One fetch of a site list: the request, then a strict parse into the list
// under its mutex. `prepare` empties the list's share that the load replaces;
// elements appended before a parse failure stay in the list.
template <typename Record, typename ReadElement, typename Prepare, typename Loaded>
bool TLYApiImpl::LoadSiteList(const SiteFetch& fetch, std::mutex& mutex, std::vector<Record>& list,
                              ReadElement readElement, Prepare prepare, Loaded loaded) {
    std::string response;
    if (!restClient.GetWithRetry(fetch.endpoint, response)) {
        SetLastError(std::string(fetch.fetchFailedText) + response);
        LogFields fields = fetch.panelFields;
        fields.emplace_back("response", response);
        LogApiEvent(LogLevel::Error, fetch.fetchFailedEvent, fetch.fetchFailedMessage, fields);
        return false;
    }
    try {
        const tly::ConcurrencyLimit::Slot parsing(siteListParses);
        const nlohmann::json body = tly::ParseJson(response);
        std::lock_guard<std::mutex> lock(mutex);
        prepare(list);
        for (const nlohmann::json& element : ElementsOf(body, fetch.member)) list.push_back(readElement(element));
        loaded(list);
        return true;
    } catch (const std::exception& e) {
        SetLastError(std::string(fetch.parseFailedText) + e.what());
        LogFields fields = fetch.panelFields;
        fields.emplace_back("exception", e.what());
        LogApiEvent(LogLevel::Error, fetch.parseFailedEvent, fetch.parseFailedMessage, fields);
        return false;
    }
}

namespace {

auto LogCount(const char* event, const char* message) {
    return [event, message](auto& list) {
        LogApiEvent(LogLevel::Debug, event, message, {{"count", static_cast<std::int64_t>(list.size())}});
    };
}

}  // namespace

bool TLYApiImpl::GetInitialData(std::int32_t panelId) {
    // Every status request of every panel reloads: at info once in ten minutes per panel.
    tly::LogRoutine(LogLevel::Info, "tly_api", "initial_data.fetch_start",
                    "Fetching initial doors, readers, handhelds, and connected-reader state", {{"panel_id", panelId}},
                    "initial_data.fetch_start/" + std::to_string(panelId));
    bool result = LoadDoors();
    result &= LoadHandhelds();
    result &= LoadPanelReaders(panelId);
    result &= LoadConnectedReaders();
    ReconcileReaderTransitions();
    FetchAndProcessPendingActivities();
    return result;
}

bool TLYApiImpl::LoadDoors() {
    return LoadSiteList(SiteFetch{"/doors", "doors", "Failed to fetch doors: ", "initial_data.doors_fetch_failed",
                                  "Failed to fetch doors", "Failed to parse doors response: ",
                                  "initial_data.doors_parse_failed", "Failed to parse doors response", {}},
                        doorsMutex, doors, ReadDoor,
                        [this](std::vector<DoorInfo>& list) {
                            list.clear();
                            doorsById.MarkStale();
                        },
                        LogCount("initial_data.doors_loaded", "Loaded doors"));
}

bool TLYApiImpl::LoadHandhelds() {
    return LoadSiteList(
        SiteFetch{"/handhelds", "handhelds", "Failed to fetch handhelds: ", "initial_data.handhelds_fetch_failed",
                  "Failed to fetch handhelds", "Failed to parse handhelds response: ",
                  "initial_data.handhelds_parse_failed", "Failed to parse handhelds response", {}},
        handheldsMutex, handhelds, ReadHandheld,
        [this](std::vector<HandheldInfo>& list) {
            list.clear();
            handheldsByGuid.MarkStale();
        },
        LogCount("initial_data.handhelds_loaded", "Loaded handhelds"));
}

// Only this panel's share of the readers is replaced; other panels' stay in order.
bool TLYApiImpl::LoadPanelReaders(std::int32_t panelId) {
    const std::string panelPrefix = std::to_string(panelId) + ":";
    return LoadSiteList(
        SiteFetch{"/panels/" + std::to_string(panelId) + "/readers", "readers", "Failed to fetch readers: ",
                  "initial_data.readers_fetch_failed", "Failed to fetch readers", "Failed to parse readers response: ",
                  "initial_data.readers_parse_failed", "Failed to parse readers response", {{"panel_id", panelId}}},
        readersMutex, readers, ReadReader,
        [this, &panelPrefix](std::vector<ReaderInfo>& list) {
            list.erase(std::remove_if(list.begin(), list.end(),
                                      [&](const ReaderInfo& r) { return StartsWith(r.external_id, panelPrefix); }),
                       list.end());
            readersByGuid.MarkStale();
            readersById.MarkStale();
        },
        [panelId](std::vector<ReaderInfo>& list) {
            LogApiEvent(LogLevel::Debug, "initial_data.readers_loaded", "Loaded readers for panel",
                        {{"panel_id", panelId}, {"reader_count", static_cast<std::int64_t>(list.size())}});
        });
}

bool TLYApiImpl::LoadConnectedReaders() {
    return LoadSiteList(
        SiteFetch{"/connected-readers", "connected_readers", "Failed to fetch connected readers: ",
                  "initial_data.connected_readers_fetch_failed", "Failed to fetch connected readers",
                  "Failed to parse connected readers response: ", "initial_data.connected_readers_parse_failed",
                  "Failed to parse connected readers response", {}},
        connectedReadersMutex, connectedReaders, ReadConnectedReader,
        [](std::vector<HandheldInfo>& list) { list.clear(); },
        LogCount("initial_data.connected_readers_loaded", "Loaded connected readers"));
}

// After the first load of the process the queues are emptied and filled
// again from the lists: offline every known reader that no connected handheld
// serves, then online the readers the connected handhelds serve, so the host
// ends up with the server's picture whatever it missed.
//
// Panels collect their queues while other panels' status requests reload, so
// the queues are never left half filled: everything is worked out from one
// picture of the lists and queued under one hold of the queues' lock. And a served
// reader is not queued offline first: a poll collects the offline queue and
// then the online queue, and a reload landing between the two would leave its
// offline transition behind the online one, so the host would see it go
// offline although it never did.
void TLYApiImpl::ReconcileReaderTransitions() {
    std::scoped_lock lists(connectedReadersMutex, handheldsMutex, readersMutex, doorsMutex);
    std::vector<const ReaderInfo*> served;  // in the order they are queued online
    for (const HandheldInfo& connected : connectedReaders) ServedReaders(connected.guid, served);
    std::unordered_set<std::string> online;
    for (const ReaderInfo* reader : served) online.insert(reader->external_id);

    std::vector<std::string> servedIds;
    for (const ReaderInfo* reader : served) servedIds.push_back(reader->external_id);
    if (!initialDataLoadedOnce.exchange(true)) {
        for (const std::string& id : servedIds) readerTransitions.Queue(id, true);
        return;
    }
    std::vector<std::string> unserved;
    for (const ReaderInfo& reader : readers) {
        if (!online.count(reader.external_id)) unserved.push_back(reader.external_id);
    }
    readerTransitions.Replace(unserved, servedIds);
}

void TLYApiImpl::MarkReaderOnlineByGuid(const std::string& guid) {
    std::scoped_lock lock(connectedReadersMutex, handheldsMutex, readersMutex, doorsMutex);
    std::vector<const ReaderInfo*> served;
    ServedReaders(guid, served);
    for (const ReaderInfo* reader : served) MarkReaderOnline(reader->external_id);
}

// A handheld serves its own reader (the reader with its guid) and the entry
// and exit readers of its door, in that order.
void TLYApiImpl::ServedReaders(const std::string& guid, std::vector<const ReaderInfo*>& served) const {
    if (const ReaderInfo* reader = FindReaderByGuid(guid)) served.push_back(reader);
    const HandheldInfo* handheld = FindHandheldByGuid(guid);
    if (!handheld) return;
    const DoorInfo* door = FindDoorById(handheld->door_id);
    if (!door) return;
    if (const ReaderInfo* entry = FindReaderById(door->external_entry_reader_id)) served.push_back(entry);
    if (const ReaderInfo* exit = FindReaderById(door->external_exit_reader_id)) served.push_back(exit);
}

const DoorInfo* TLYApiImpl::FindDoorById(std::int32_t doorId) const { return doorsById.First(doors, doorId); }

const HandheldInfo* TLYApiImpl::FindHandheldByGuid(const std::string& guid) const {
    return handheldsByGuid.First(handhelds, guid);
}

const ReaderInfo* TLYApiImpl::FindReaderByGuid(const std::string& guid) const {
    return readersByGuid.First(readers, guid);
}

const ReaderInfo* TLYApiImpl::FindReaderById(std::int32_t readerId) const {
    return readersById.First(readers, readerId);
}
