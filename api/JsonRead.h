#pragma once
// Strict reads of server JSON: a member that is absent takes its default, a
// member present with another type (null included) throws, so the caller's
// failure path names the document that was wrong. Numbers convert to integers
// with the fraction dropped; booleans read as 0 or 1. Every failure is the
// JSON library's own exception, raised by the library, so the texts that
// callers log and report after their prefix carry its wording.

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

namespace json_read {

// The member of an object, or null when it is absent. Throws when the value
// is not an object, as the library's value-with-default does.
inline const nlohmann::json* Member(const nlohmann::json& object, const char* key) {
    if (!object.is_object()) static_cast<void>(object.value(key, 0));  // "cannot use value() with array"
    auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

// The value itself when it is an array; throws otherwise ("type must be
// array, but is string").
inline const nlohmann::json& Array(const nlohmann::json& value) {
    if (!value.is_array()) static_cast<void>(value.get<nlohmann::json::array_t>());
    return value;
}

// The value itself when it is an object; throws otherwise ("type must be
// object, but is null").
inline const nlohmann::json& Object(const nlohmann::json& value) {
    if (!value.is_object()) static_cast<void>(value.get<nlohmann::json::object_t>());
    return value;
}

inline std::int32_t Int32(const nlohmann::json& object, const char* key, std::int32_t fallback = 0) {
    const nlohmann::json* value = Member(object, key);
    return value ? value->get<std::int32_t>() : fallback;
}

inline std::int64_t Int64(const nlohmann::json& object, const char* key, std::int64_t fallback = 0) {
    const nlohmann::json* value = Member(object, key);
    return value ? value->get<std::int64_t>() : fallback;
}

inline std::string String(const nlohmann::json& object, const char* key, const std::string& fallback = {}) {
    const nlohmann::json* value = Member(object, key);
    return value ? value->get<std::string>() : fallback;
}

inline bool Bool(const nlohmann::json& object, const char* key, bool fallback = false) {
    const nlohmann::json* value = Member(object, key);
    return value ? value->get<bool>() : fallback;
}

}  // namespace json_read
