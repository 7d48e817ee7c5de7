// What the server's WebSocket notifications do: reader connections,
// disconnections and door changes update the site lists and queue reader
// transitions; "activities_available" starts an activity run. All of it runs
// on the WebSocket receive thread, one message at a time.

#include "api/TLYApiImpl.h"
#include "logging/Log.h"
#include "platform/JsonDocument.h"
#include "platform/JsonRead.h"

#include <algorithm>
#include <exception>

namespace {

// The "reader" member of a notification; missing or not an object throws.
const nlohmann::json& ReaderMember(const nlohmann::json& message) {
    return json_read::Object(message.at("reader"));
}

}  // namespace

void TLYApiImpl::OnWebSocketMessage(const std::string& text) {
    try {
        const nlohmann::json message = tly::ParseJson(text);
        const std::string type = json_read::String(message, "type");
        if (type == "reader_connected") {
            OnReaderConnected(ReaderMember(message));
        } else if (type == "reader_disconnected") {
            OnReaderDisconnected(ReaderMember(message));
        } else if (type == "reader_door_changed") {
            OnReaderDoorChanged(ReaderMember(message));
        } else if (type == "heartbeat") {
            // Only refreshes the channel's liveness, which the client already recorded.
        } else if (type == "activities_available") {
            OnActivitiesAvailable();
        } else {
            LogApiEvent(LogLevel::Warn, "websocket.message_unknown", "Received unknown WebSocket event type",
                        {{"type", type}});
        }
    } catch (const std::exception& e) {
        LogApiEvent(LogLevel::Error, "websocket.message_parse_failed", "Failed to parse WebSocket message",
                    {{"exception", e.what()}});
    }
}

void TLYApiImpl::OnWebSocketStateChanged(bool connected) {
    LogApiEvent(LogLevel::Info, "websocket.connection_state_changed",
                connected ? "WebSocket connected" : "WebSocket disconnected", {{"connected", connected}});
}

// Each handler gets the message's "reader" object, parsed once above.
void TLYApiImpl::OnReaderConnected(const nlohmann::json& reader) {
    HandheldInfo connected;
    connected.guid = json_read::String(reader, "guid");
    connected.name = json_read::String(reader, "name");
    connected.id = json_read::Int32(reader, "id");
    connected.door_id = json_read::Int32(reader, "door_id");
    LogApiEvent(LogLevel::Info, "reader.connected", "Reader connected",
                {{"reader_id", connected.id}, {"name", connected.name}, {"guid", connected.guid},
                 {"door_id", connected.door_id}});
    connected.external_id = json_read::String(reader, "external_id");
    const std::string guid = connected.guid;
    {
        std::lock_guard<std::mutex> lock(connectedReadersMutex);
        connectedReaders.push_back(std::move(connected));
    }
    MarkReaderOnlineByGuid(guid);
}

void TLYApiImpl::OnReaderDisconnected(const nlohmann::json& reader) {
    const std::string guid = json_read::String(reader, "guid");
    const std::string name = json_read::String(reader, "name");
    const std::int32_t id = json_read::Int32(reader, "id");
    LogApiEvent(LogLevel::Info, "reader.disconnected", "Reader disconnected",
                {{"reader_id", id}, {"name", name}, {"guid", guid}});

    // While the handheld is still listed, so its door is not counted as served by another.
    MarkReaderOfflineByGuid(guid);
    std::lock_guard<std::mutex> lock(connectedReadersMutex);
    connectedReaders.erase(std::remove_if(connectedReaders.begin(), connectedReaders.end(),
                                          [id](const HandheldInfo& h) { return h.id == id; }),
                           connectedReaders.end());
}

void TLYApiImpl::OnReaderDoorChanged(const nlohmann::json& reader) {
    const std::string guid = json_read::String(reader, "guid");
    const std::int32_t id = json_read::Int32(reader, "id");
    const std::int32_t oldDoorId = json_read::Int32(reader, "old_door_id");
    const std::int32_t newDoorId = json_read::Int32(reader, "new_door_id");
    LogApiEvent(LogLevel::Info, "reader.door_changed", "Reader door assignment changed",
                {{"reader_id", id}, {"guid", guid}, {"old_door_id", oldDoorId}, {"new_door_id", newDoorId}});
    ApplyReaderDoorChange(id, newDoorId, guid);
}

void TLYApiImpl::ApplyReaderDoorChange(std::int32_t readerId, std::int32_t newDoorId,
                                       const std::string& guid) {
    MarkReaderOfflineByGuid(guid);  // with the old assignments still in place
    {
        std::lock_guard<std::mutex> lock(readersMutex);
        for (ReaderInfo& reader : readers) {
            if (reader.id == readerId) reader.door_id = newDoorId;
        }
    }
    {
        std::lock_guard<std::mutex> lock(handheldsMutex);
        for (HandheldInfo& handheld : handhelds) {
            if (handheld.id == readerId) handheld.door_id = newDoorId;
        }
    }
    bool isConnected = false;
    {
        std::lock_guard<std::mutex> lock(connectedReadersMutex);
        for (HandheldInfo& connected : connectedReaders) {
            if (connected.id != readerId) continue;
            connected.door_id = newDoorId;
            isConnected = true;
        }
    }
    if (isConnected) MarkReaderOnlineByGuid(guid);
}

// A door's readers go offline only when no other connected handheld serves it.
void TLYApiImpl::MarkReaderOfflineByGuid(const std::string& guid) {
    std::scoped_lock lock(connectedReadersMutex, handheldsMutex, readersMutex, doorsMutex);
    if (const ReaderInfo* reader = FindReaderByGuid(guid)) MarkReaderOffline(reader->external_id);
    const HandheldInfo* handheld = FindHandheldByGuid(guid);
    if (!handheld || CountOtherConnectedOnDoor(handheld->door_id, guid) != 0) return;
    const DoorInfo* door = FindDoorById(handheld->door_id);
    if (!door) return;
    if (const ReaderInfo* entry = FindReaderById(door->external_entry_reader_id)) MarkReaderOffline(entry->external_id);
    if (const ReaderInfo* exit = FindReaderById(door->external_exit_reader_id)) MarkReaderOffline(exit->external_id);
}

std::int32_t TLYApiImpl::CountOtherConnectedOnDoor(std::int32_t doorId, const std::string& guid) const {
    return static_cast<std::int32_t>(std::count_if(connectedReaders.begin(), connectedReaders.end(),
                                                   [&](const HandheldInfo& h) {
                                                       return h.guid != guid && h.door_id == doorId;
                                                   }));
}
