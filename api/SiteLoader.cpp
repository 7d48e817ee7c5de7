// Each list is fetched, then read strictly (see SiteRecords.h) outside the
// site model's lock, and put in place whole. A list whose reading fails part
// way is put in place with the records read before the failure, as a list
// filled in place would have been; a response that is not JSON at all leaves
// the list as it was.
//
// With the event channel up, the server pushes every reader connection,
// disconnection and door change into the lists as it happens, so the
// site-wide lists loaded for one panel's status request serve the other
// panels' requests that follow within a second, as long as the same
// connection of the channel stays up: a site of many panels costs the server
// one load of them a second rather than one per panel. Bringing the
// transition queues in line goes with the load of the site-wide lists:
// between two such loads the channel queues every change itself.

#include "api/SiteLoader.h"

#include "api/SiteRecords.h"
#include "logging/RepeatedLines.h"
#include "platform/Clock.h"
#include "platform/JsonDocument.h"

#include <exception>
#include <utility>
#include <vector>

namespace {

// A list's failure repeats at every status request of every panel while the
// server is away or answers the same wrong thing: the first in full, then a
// summary a minute, until the list loads. A panel's own list has a key per
// panel; a site-wide list one for the site.
std::string FailureKey(const char* event, const LogFields& panelFields) {
    for (const LogField& field : panelFields) {
        if (field.key == "panel_id" && field.value.is_number_integer()) {
            return tly::PanelRepeatKey("tly_api", event, field.value.get<std::int32_t>());
        }
    }
    return std::string("tly_api/") + event + "/";
}

}  // namespace

template <typename Record, typename ReadElement, typename Store, typename Loaded>
bool SiteLoader::LoadList(const ListFetch& fetch, ReadElement readElement, Store store, Loaded loaded) {
    std::string response;
    const std::string fetchFailedKey = FailureKey(fetch.fetchFailedEvent, fetch.panelFields);
    if (!rest_.GetWithRetry(fetch.endpoint, response)) {
        lastError_.Set(std::string(fetch.fetchFailedText) + response);
        LogFields fields = fetch.panelFields;
        fields.emplace_back("response", response);
        tly::LogRepeatedFailure(LogLevel::Error, "tly_api", fetch.fetchFailedEvent, fetch.fetchFailedMessage, fields,
                                fetchFailedKey);
        return false;
    }
    tly::EndRepeatedFailures(fetchFailedKey);
    const std::string parseFailedKey = FailureKey(fetch.parseFailedEvent, fetch.panelFields);
    try {
        const tly::ConcurrencyLimit::Slot parsing(listParses_);
        const nlohmann::json body = tly::ParseJson(response);
        std::vector<Record> list;
        try {
            for (const nlohmann::json& element : ElementsOf(body, fetch.member)) list.push_back(readElement(element));
        } catch (const std::exception&) {
            store(std::move(list));
            throw;
        }
        loaded(store(std::move(list)));
        tly::EndRepeatedFailures(parseFailedKey);
        return true;
    } catch (const std::exception& e) {
        lastError_.Set(std::string(fetch.parseFailedText) + e.what());
        LogFields fields = fetch.panelFields;
        fields.emplace_back("exception", e.what());
        tly::LogRepeatedFailure(LogLevel::Error, "tly_api", fetch.parseFailedEvent, fetch.parseFailedMessage, fields,
                                parseFailedKey);
        return false;
    }
}

namespace {

auto LogCount(const char* event, const char* message) {
    return [event, message](std::size_t count) {
        LogApiEvent(LogLevel::Debug, event, message, {{"count", static_cast<std::int64_t>(count)}});
    };
}

}  // namespace

void SiteLoader::LogFetchStart(std::int32_t panelId) {
    // Every status request of every panel reloads: at info once in ten minutes per panel.
    tly::LogRoutine(LogLevel::Info, "tly_api", "initial_data.fetch_start",
                    "Fetching initial doors, readers, handhelds, and connected-reader state", {{"panel_id", panelId}},
                    "initial_data.fetch_start/" + std::to_string(panelId));
}

bool SiteLoader::LoadAll(std::int32_t panelId) {
    LogFetchStart(panelId);
    bool result = LoadDoors();
    result &= LoadHandhelds();
    result &= LoadPanelReaders(panelId);
    result &= LoadConnected();
    Reconcile();
    return result;
}

void SiteLoader::LoadForStatus(std::int32_t panelId, bool channelUp, std::uint64_t channelSerial) {
    if (!channelUp) {
        LoadAll(panelId);
        return;
    }
    LogFetchStart(panelId);
    // Requests arriving while a load is under way wait for it and share it.
    tly::MutexLock serialised(sharedLoadLock_);
    const std::uint32_t now = tly::CurrentClock().TickCount();
    if (sharedLoad_.valid && sharedLoad_.channelSerial == channelSerial &&
        now - sharedLoad_.tick < kSharedLoadWindowMs) {  // unsigned: wrap-safe
        LogApiEvent(LogLevel::Debug, "initial_data.site_lists_shared",
                    "Using the site-wide lists loaded for a status request moments ago",
                    {{"panel_id", panelId}, {"age_ms", static_cast<std::int64_t>(now - sharedLoad_.tick)}});
        serialised.Unlock();
        LoadPanelReaders(panelId);
        return;
    }
    // In the order of the whole load, so the last error text is the same.
    bool loaded = LoadDoors();
    loaded &= LoadHandhelds();
    LoadPanelReaders(panelId);
    loaded &= LoadConnected();
    // A failed load is not shared: the next request tries again.
    sharedLoad_ = {loaded, channelSerial, now};
    Reconcile();
}

void SiteLoader::Reconcile() { site_.ReconcileTransitions(!loadedOnce_.exchange(true)); }

bool SiteLoader::LoadDoors() {
    return LoadList<DoorInfo>(ListFetch{"/doors", "doors", "Failed to fetch doors: ", "initial_data.doors_fetch_failed",
                                        "Failed to fetch doors", "Failed to parse doors response: ",
                                        "initial_data.doors_parse_failed", "Failed to parse doors response", {}},
                              ReadDoor, [this](std::vector<DoorInfo> list) { return site_.ReplaceDoors(std::move(list)); },
                              LogCount("initial_data.doors_loaded", "Loaded doors"));
}

bool SiteLoader::LoadHandhelds() {
    return LoadList<HandheldInfo>(
        ListFetch{"/handhelds", "handhelds", "Failed to fetch handhelds: ", "initial_data.handhelds_fetch_failed",
                  "Failed to fetch handhelds", "Failed to parse handhelds response: ",
                  "initial_data.handhelds_parse_failed", "Failed to parse handhelds response", {}},
        ReadHandheld, [this](std::vector<HandheldInfo> list) { return site_.ReplaceHandhelds(std::move(list)); },
        LogCount("initial_data.handhelds_loaded", "Loaded handhelds"));
}

bool SiteLoader::LoadPanelReaders(std::int32_t panelId) {
    return LoadList<ReaderInfo>(
        ListFetch{"/panels/" + std::to_string(panelId) + "/readers", "readers", "Failed to fetch readers: ",
                  "initial_data.readers_fetch_failed", "Failed to fetch readers", "Failed to parse readers response: ",
                  "initial_data.readers_parse_failed", "Failed to parse readers response", {{"panel_id", panelId}}},
        ReadReader,
        [this, panelId](std::vector<ReaderInfo> list) { return site_.ReplacePanelReaders(panelId, std::move(list)); },
        [panelId](std::size_t count) {  // every panel's readers the model holds
            LogApiEvent(LogLevel::Debug, "initial_data.readers_loaded", "Loaded readers for panel",
                        {{"panel_id", panelId}, {"reader_count", static_cast<std::int64_t>(count)}});
        });
}

bool SiteLoader::LoadConnected() {
    return LoadList<HandheldInfo>(
        ListFetch{"/connected-readers", "connected_readers", "Failed to fetch connected readers: ",
                  "initial_data.connected_readers_fetch_failed", "Failed to fetch connected readers",
                  "Failed to parse connected readers response: ", "initial_data.connected_readers_parse_failed",
                  "Failed to parse connected readers response", {}},
        ReadConnectedReader, [this](std::vector<HandheldInfo> list) { return site_.ReplaceConnected(std::move(list)); },
        LogCount("initial_data.connected_readers_loaded", "Loaded connected readers"));
}
