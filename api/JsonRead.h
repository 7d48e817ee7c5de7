#pragma once
// Strict reads of server JSON: a member that is absent takes its default, a
// member present with another type (null included) throws, so the caller's
// failure path names the document that was wrong. Numbers convert to integers
// with the fraction dropped and booleans read as 0 or 1, but a number out of
// range throws rather than wrap into another value. Every other failure is
// the JSON library's own exception, raised by the library, so the texts that
// callers log and report after their prefix carry its wording.

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdint>
#include <limits>
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

[[noreturn]] inline void ThrowOutOfRange(const nlohmann::json& value, const char* key, size_t bits) {
    throw nlohmann::json::type_error::create(
        302, std::string("member '") + key + "' must fit in " + std::to_string(bits) + " bits, but is " + value.dump(),
        &value);
}

// A number converted as the JSON library does (a fraction dropped, a boolean
// as 0 or 1), except that a number out of the type's range throws instead of
// wrapping into another value.
template <typename Integer>
Integer ConvertedInteger(const nlohmann::json& object, const char* key, Integer fallback) {
    const nlohmann::json* value = Member(object, key);
    if (!value) return fallback;
    constexpr auto lowest = std::numeric_limits<Integer>::min();
    constexpr auto highest = std::numeric_limits<Integer>::max();
    if (value->is_number_unsigned()) {
        if (value->get<std::uint64_t>() > static_cast<std::uint64_t>(highest)) ThrowOutOfRange(*value, key, sizeof(Integer) * 8);
    } else if (value->is_number_integer()) {
        const auto number = value->get<std::int64_t>();
        if (number < lowest || number > highest) ThrowOutOfRange(*value, key, sizeof(Integer) * 8);
    } else if (value->is_number_float()) {
        const double number = std::trunc(value->get<double>());
        // highest + 1 is a power of two, exact as a double; NaN fails too.
        if (!(number >= static_cast<double>(lowest) && number < static_cast<double>(highest) + 1.0)) {
            ThrowOutOfRange(*value, key, sizeof(Integer) * 8);
        }
    }
    return value->get<Integer>();
}

inline std::int32_t Int32(const nlohmann::json& object, const char* key, std::int32_t fallback = 0) {
    return ConvertedInteger<std::int32_t>(object, key, fallback);
}

inline std::int64_t Int64(const nlohmann::json& object, const char* key, std::int64_t fallback = 0) {
    return ConvertedInteger<std::int64_t>(object, key, fallback);
}

// An integer read exactly as sent: a JSON integer within the type's range, or
// a number with no fraction small enough to be exact in a double. Anything
// else (a fraction, a number out of range, a boolean, a string) throws rather
// than being converted into another value. For ids that go back to the
// server or on to the host.
template <typename Integer>
Integer ExactInteger(const nlohmann::json& object, const char* key, Integer fallback = 0) {
    const nlohmann::json* value = Member(object, key);
    if (!value) return fallback;
    constexpr auto lowest = std::numeric_limits<Integer>::min();
    constexpr auto highest = std::numeric_limits<Integer>::max();
    if (value->is_number_unsigned()) {
        const auto number = value->get<std::uint64_t>();
        if (number <= static_cast<std::uint64_t>(highest)) return static_cast<Integer>(number);
    } else if (value->is_number_integer()) {
        const auto number = value->get<std::int64_t>();
        if (number >= lowest && number <= highest) return static_cast<Integer>(number);
    } else if (value->is_number_float()) {
        constexpr double exactLimit = 9007199254740992.0;  // 2^53
        const double number = value->get<double>();
        if (std::trunc(number) == number && std::fabs(number) <= exactLimit &&
            number >= static_cast<double>(lowest) && number <= static_cast<double>(highest)) {
            return static_cast<Integer>(number);
        }
    }
    throw nlohmann::json::type_error::create(
        302, std::string("member '") + key + "' must be an integer of " + std::to_string(sizeof(Integer) * 8) +
                 " bits, but is " + (value->is_number() ? value->dump() : value->type_name()),
        value);
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
