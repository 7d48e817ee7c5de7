// Loading the server's site picture: doors, handhelds, the readers of one
// panel and the handhelds connected now, then bringing the reader transition
// queues in line with it.

#include "api/SiteRecords.h"
#include "api/TLYApiImpl.h"
#include "logging/Log.h"
#include "platform/JsonDocument.h"

#include <algorithm>
#include <exception>

namespace {

// Once set, every later load first queues all known readers offline.
std::atomic<bool> initialDataLoadedOnce{false};

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

bool TLYApiImpl::GetInitialData(std::int32_t panelId) {
    LogApiEvent(LogLevel::Info, "initial_data.fetch_start",
                "Fetching initial doors, readers, handhelds, and connected-reader state", {{"panel_id", panelId}});
    bool result = true;

    auto clearAll = [](auto& list) { list.clear(); };
    auto logCount = [](const char* event, const char* message) {
        return [event, message](auto& list) {
            LogApiEvent(LogLevel::Debug, event, message, {{"count", static_cast<std::int64_t>(list.size())}});
        };
    };

    result &= LoadSiteList(SiteFetch{"/doors", "doors", "Failed to fetch doors: ", "initial_data.doors_fetch_failed",
                                     "Failed to fetch doors", "Failed to parse doors response: ",
                                     "initial_data.doors_parse_failed", "Failed to parse doors response", {}},
                           doorsMutex, doors, ReadDoor, clearAll, logCount("initial_data.doors_loaded", "Loaded doors"));

    result &= LoadSiteList(
        SiteFetch{"/handhelds", "handhelds", "Failed to fetch handhelds: ", "initial_data.handhelds_fetch_failed",
                  "Failed to fetch handhelds", "Failed to parse handhelds response: ",
                  "initial_data.handhelds_parse_failed", "Failed to parse handhelds response", {}},
        handheldsMutex, handhelds, ReadHandheld, clearAll,
        logCount("initial_data.handhelds_loaded", "Loaded handhelds"));

    // Only this panel's share of the readers is replaced; other panels' stay in order.
    const std::string panelPrefix = std::to_string(panelId) + ":";
    result &= LoadSiteList(
        SiteFetch{"/panels/" + std::to_string(panelId) + "/readers", "readers", "Failed to fetch readers: ",
                  "initial_data.readers_fetch_failed", "Failed to fetch readers", "Failed to parse readers response: ",
                  "initial_data.readers_parse_failed", "Failed to parse readers response", {{"panel_id", panelId}}},
        readersMutex, readers, ReadReader,
        [&panelPrefix](std::vector<ReaderInfo>& list) {
            list.erase(std::remove_if(list.begin(), list.end(),
                                      [&](const ReaderInfo& r) { return StartsWith(r.external_id, panelPrefix); }),
                       list.end());
        },
        [panelId](std::vector<ReaderInfo>& list) {
            LogApiEvent(LogLevel::Debug, "initial_data.readers_loaded", "Loaded readers for panel",
                        {{"panel_id", panelId}, {"reader_count", static_cast<std::int64_t>(list.size())}});
        });

    result &= LoadSiteList(
        SiteFetch{"/connected-readers", "connected_readers", "Failed to fetch connected readers: ",
                  "initial_data.connected_readers_fetch_failed", "Failed to fetch connected readers",
                  "Failed to parse connected readers response: ", "initial_data.connected_readers_parse_failed",
                  "Failed to parse connected readers response", {}},
        connectedReadersMutex, connectedReaders, ReadConnectedReader, clearAll,
        logCount("initial_data.connected_readers_loaded", "Loaded connected readers"));

    ReconcileReaderTransitions();
    FetchAndProcessPendingActivities();
    return result;
}

// After the first load of the process, every known reader is queued offline
// before the connected ones are queued online again, so the host ends up with
// the server's picture whatever it missed.
void TLYApiImpl::ReconcileReaderTransitions() {
    if (initialDataLoadedOnce.load()) {
        {
            std::lock_guard<std::mutex> lock(panelsMutex);
            for (auto& [panel, queued] : readersGoneOffline) queued.clear();
            for (auto& [panel, queued] : readersGoneOnline) queued.clear();
        }
        std::lock_guard<std::mutex> lock(readersMutex);
        for (const ReaderInfo& reader : readers) MarkReaderOffline(reader.external_id);
    }
    initialDataLoadedOnce.store(true);

    std::vector<std::string> guids;
    {
        std::lock_guard<std::mutex> lock(connectedReadersMutex);
        for (const HandheldInfo& connected : connectedReaders) guids.push_back(connected.guid);
    }
    for (const std::string& guid : guids) MarkReaderOnlineByGuid(guid);
}

void TLYApiImpl::MarkReaderOnlineByGuid(const std::string& guid) {
    std::scoped_lock lock(connectedReadersMutex, handheldsMutex, readersMutex, doorsMutex);
    if (const ReaderInfo* reader = FindReaderByGuid(guid)) MarkReaderOnline(reader->external_id);
    const HandheldInfo* handheld = FindHandheldByGuid(guid);
    if (!handheld) return;
    const DoorInfo* door = FindDoorById(handheld->door_id);
    if (!door) return;
    if (const ReaderInfo* entry = FindReaderById(door->external_entry_reader_id)) MarkReaderOnline(entry->external_id);
    if (const ReaderInfo* exit = FindReaderById(door->external_exit_reader_id)) MarkReaderOnline(exit->external_id);
}

const DoorInfo* TLYApiImpl::FindDoorById(std::int32_t doorId) const {
    auto it = std::find_if(doors.begin(), doors.end(), [doorId](const DoorInfo& d) { return d.id == doorId; });
    return it == doors.end() ? nullptr : &*it;
}

const HandheldInfo* TLYApiImpl::FindHandheldByGuid(const std::string& guid) const {
    auto it = std::find_if(handhelds.begin(), handhelds.end(), [&guid](const HandheldInfo& h) { return h.guid == guid; });
    return it == handhelds.end() ? nullptr : &*it;
}

const ReaderInfo* TLYApiImpl::FindReaderByGuid(const std::string& guid) const {
    auto it = std::find_if(readers.begin(), readers.end(), [&guid](const ReaderInfo& r) { return r.guid == guid; });
    return it == readers.end() ? nullptr : &*it;
}

const ReaderInfo* TLYApiImpl::FindReaderById(std::int32_t readerId) const {
    auto it = std::find_if(readers.begin(), readers.end(), [readerId](const ReaderInfo& r) { return r.id == readerId; });
    return it == readers.end() ? nullptr : &*it;
}
