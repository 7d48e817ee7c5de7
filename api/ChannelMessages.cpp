#include "api/ChannelMessages.h"

#include "logging/Log.h"
#include "platform/JsonDocument.h"
#include "platform/JsonRead.h"

#include <exception>

namespace {

// The "reader" member of a notification; missing or not an object throws.
const nlohmann::json& ReaderMember(const nlohmann::json& message) {
    return json_read::Object(message.at("reader"));
}

void ReaderConnected(const nlohmann::json& reader, SiteModel& site) {
    HandheldInfo connected;
    connected.guid = json_read::String(reader, "guid");
    connected.name = json_read::String(reader, "name");
    connected.id = json_read::Int32(reader, "id");
    connected.door_id = json_read::Int32(reader, "door_id");
    LogApiEvent(LogLevel::Info, "reader.connected", "Reader connected",
                {{"reader_id", connected.id}, {"name", connected.name}, {"guid", connected.guid},
                 {"door_id", connected.door_id}});
    connected.external_id = json_read::String(reader, "external_id");
    site.ReaderConnected(std::move(connected));
}

void ReaderDisconnected(const nlohmann::json& reader, SiteModel& site) {
    const std::string guid = json_read::String(reader, "guid");
    const std::string name = json_read::String(reader, "name");
    const std::int32_t id = json_read::Int32(reader, "id");
    LogApiEvent(LogLevel::Info, "reader.disconnected", "Reader disconnected",
                {{"reader_id", id}, {"name", name}, {"guid", guid}});
    site.ReaderDisconnected(guid, id);
}

void ReaderDoorChanged(const nlohmann::json& reader, SiteModel& site) {
    const std::string guid = json_read::String(reader, "guid");
    const std::int32_t id = json_read::Int32(reader, "id");
    const std::int32_t oldDoorId = json_read::Int32(reader, "old_door_id");
    const std::int32_t newDoorId = json_read::Int32(reader, "new_door_id");
    LogApiEvent(LogLevel::Info, "reader.door_changed", "Reader door assignment changed",
                {{"reader_id", id}, {"guid", guid}, {"old_door_id", oldDoorId}, {"new_door_id", newDoorId}});
    site.ReaderDoorChanged(id, newDoorId, guid);
}

}  // namespace

void DispatchChannelMessage(const std::string& text, SiteModel& site,
                            const std::function<void()>& activitiesAvailable) {
    try {
        const nlohmann::json message = tly::ParseJson(text);
        const std::string type = json_read::String(message, "type");
        if (type == "reader_connected") {
            ReaderConnected(ReaderMember(message), site);
        } else if (type == "reader_disconnected") {
            ReaderDisconnected(ReaderMember(message), site);
        } else if (type == "reader_door_changed") {
            ReaderDoorChanged(ReaderMember(message), site);
        } else if (type == "heartbeat") {
            // Only refreshes the channel's liveness, which the client already recorded.
        } else if (type == "activities_available") {
            activitiesAvailable();
        } else {
            LogApiEvent(LogLevel::Warn, "websocket.message_unknown", "Received unknown WebSocket event type",
                        {{"type", type}});
        }
    } catch (const std::exception& e) {
        LogApiEvent(LogLevel::Error, "websocket.message_parse_failed", "Failed to parse WebSocket message",
                    {{"exception", e.what()}});
    }
}
