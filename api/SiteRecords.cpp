#include "api/SiteRecords.h"

#include "platform/JsonRead.h"

const nlohmann::json& ElementsOf(const nlohmann::json& body, const char* member) {
    static const nlohmann::json kEmpty = nlohmann::json::array();
    if (body.is_null()) return kEmpty;
    const nlohmann::json* elements = json_read::Member(body, member);
    if (!elements || elements->is_null()) return kEmpty;
    return json_read::Array(*elements);
}

DoorInfo ReadDoor(const nlohmann::json& element) {
    DoorInfo door;
    door.id = json_read::Int32(element, "id");
    door.name = json_read::String(element, "name");
    door.external_id = json_read::String(element, "external_id");
    door.external_entry_reader_id = json_read::Int32(element, "external_entry_reader_id");
    door.external_exit_reader_id = json_read::Int32(element, "external_exit_reader_id");
    return door;
}

HandheldInfo ReadHandheld(const nlohmann::json& element) {
    HandheldInfo handheld;
    handheld.id = json_read::Int32(element, "id");
    handheld.name = json_read::String(element, "name");
    handheld.guid = json_read::String(element, "guid");
    handheld.external_id = json_read::String(element, "external_id");
    handheld.door_id = json_read::Int32(element, "door_id");
    return handheld;
}

HandheldInfo ReadConnectedReader(const nlohmann::json& element) {
    HandheldInfo handheld;
    handheld.id = json_read::Int32(element, "id");
    handheld.guid = json_read::String(element, "guid");
    handheld.name = json_read::String(element, "name");
    handheld.door_id = json_read::Int32(element, "door_id");
    return handheld;
}

ReaderInfo ReadReader(const nlohmann::json& element) {
    ReaderInfo reader;
    reader.id = json_read::Int32(element, "id");
    reader.external_id = json_read::String(element, "external_id");
    reader.name = json_read::String(element, "name");
    reader.guid = json_read::String(element, "guid");
    reader.door_id = json_read::Int32(element, "door_id");
    return reader;
}
