#pragma once
// Reading the server's site lists: each response's array member and each
// record in it, strictly (see platform/JsonRead.h).

#include "api/SiteData.h"

#include <nlohmann/json.hpp>

// The array member of a site-data response. The literal null counts as an
// object without members; an absent or null array is an empty list; anything
// else of the wrong shape throws.
const nlohmann::json& ElementsOf(const nlohmann::json& body, const char* member);

DoorInfo ReadDoor(const nlohmann::json& element);
HandheldInfo ReadHandheld(const nlohmann::json& element);
// Connected readers carry no external id.
HandheldInfo ReadConnectedReader(const nlohmann::json& element);
ReaderInfo ReadReader(const nlohmann::json& element);
