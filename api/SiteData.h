#pragma once
// The server's picture of the site, as loaded from its REST interface.

#include <cstdint>
#include <string>

struct DoorInfo {
    std::int32_t id = 0;
    std::string name;
    std::string external_id;
    std::int32_t external_entry_reader_id = 0;  // reader ids, not external ids
    std::int32_t external_exit_reader_id = 0;
};

// One handheld device; also one entry of the connected-readers list.
struct HandheldInfo {
    std::int32_t id = 0;
    std::string name;
    std::string guid;
    std::string external_id;
    std::int32_t door_id = 0;
};

struct ReaderInfo {
    std::int32_t id = 0;
    std::string external_id;  // "panel:reader"
    std::string name;
    std::string guid;         // shared with the handheld the reader stands for
    std::int32_t door_id = 0;
};

// Splits "panel:reader" with the conversion rules of std::stoi on each side
// (leading white space, optional sign, digits up to the first other character).
// The outputs are written as each side converts.
bool ParseReaderExternalId(const std::string& text, std::int32_t& panel, std::int32_t& reader);

// True when the external id reads as one of the panel's readers; the reader's
// number goes to *reader when asked for. Every place that sorts readers by
// panel asks here, so they all agree on what an odd id belongs to.
bool IsReaderOfPanel(const std::string& externalId, std::int32_t panelId, std::int32_t* reader = nullptr);
