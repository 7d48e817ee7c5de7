#pragma once
// Typed reads of one member of a JSON object, for every reader of JSON that
// comes from outside (server answers, the settings file, badge event files).
// A read says whether the member is missing, null, of the type asked for or of
// another type; an integer read also says whether the number came as a
// boolean, whether the integer states it exactly and whether it fits the
// type. Each reader turns those answers into its own defaults and error texts.
//
// The short functions at the end are the strict reads of server JSON: a member
// that is absent takes its default, a member present with another type (null
// included) throws the JSON library's own exception, so the texts that callers
// log after their prefix carry its wording, and a number out of range throws
// rather than wrap into another value.

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

namespace json_read {

enum class Found { Missing, Null, Value, WrongType };

template <typename T>
struct Reading {
    Found found = Found::Missing;
    T value{};                               // set when found is Value
    const nlohmann::json* member = nullptr;  // null when missing
};

template <typename Integer>
struct IntegerReading : Reading<Integer> {
    bool fromBoolean = false;  // true or false, read as 1 or 0
    // A number with a fraction (dropped), or one beyond 2^53, where a double
    // no longer holds every integer: the value is not the number as sent.
    bool inexact = false;
    bool outOfRange = false;  // the value is clamped to the type's range
};

// The member of an object, or null when it is absent. Throws when the value
// is not an object, as the library's value-with-default does.
inline const nlohmann::json* Member(const nlohmann::json& object, const char* key) {
    if (!object.is_object()) static_cast<void>(object.value(key, 0));  // "cannot use value() with array"
    auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

// Raises the JSON library's own error for a value that does not hold T
// ("type must be number, but is null").
template <typename T>
[[noreturn]] void ThrowLibraryTypeError(const nlohmann::json& value) {
    static_cast<void>(value.get<T>());
    throw nlohmann::json::type_error::create(302, std::string("unexpected ") + value.type_name(), &value);
}

[[noreturn]] inline void ThrowOutOfRange(const nlohmann::json& value, const char* key, size_t bits) {
    throw nlohmann::json::type_error::create(
        302, std::string("member '") + key + "' must fit in " + std::to_string(bits) + " bits, but is " + value.dump(),
        &value);
}

template <typename Integer>
IntegerReading<Integer> ReadInteger(const nlohmann::json& object, const char* key) {
    constexpr auto lowest = std::numeric_limits<Integer>::min();
    constexpr auto highest = std::numeric_limits<Integer>::max();
    constexpr double exactLimit = 9007199254740992.0;  // 2^53
    IntegerReading<Integer> read;
    read.member = Member(object, key);
    if (!read.member) return read;
    const nlohmann::json& value = *read.member;
    read.found = Found::Value;
    if (value.is_boolean()) {
        read.fromBoolean = true;
        read.value = value.get<bool>() ? 1 : 0;
    } else if (value.is_number_unsigned()) {
        const auto number = value.get<std::uint64_t>();
        read.outOfRange = number > static_cast<std::uint64_t>(highest);
        read.value = read.outOfRange ? highest : static_cast<Integer>(number);
    } else if (value.is_number_integer()) {
        const auto number = value.get<std::int64_t>();
        read.outOfRange = number < lowest || number > highest;
        read.value = number < lowest ? lowest : number > highest ? highest : static_cast<Integer>(number);
    } else if (value.is_number_float()) {
        const double number = value.get<double>();
        const double whole = std::trunc(number);
        read.inexact = whole != number || std::fabs(number) > exactLimit;  // NaN too
        // highest + 1 is a power of two, exact as a double.
        read.outOfRange = !(whole >= static_cast<double>(lowest) && whole < static_cast<double>(highest) + 1.0);
        if (std::isnan(number)) {
            read.value = 0;
        } else if (read.outOfRange) {
            read.value = whole < 0 ? lowest : highest;
        } else {
            read.value = static_cast<Integer>(whole);
        }
    } else {
        read.found = value.is_null() ? Found::Null : Found::WrongType;
    }
    return read;
}

namespace detail {
template <typename T>
Reading<T> ReadOfType(const nlohmann::json& object, const char* key, bool (nlohmann::json::*hasType)() const noexcept) {
    Reading<T> read;
    read.member = Member(object, key);
    if (!read.member) return read;
    if ((read.member->*hasType)()) {
        read.found = Found::Value;
        read.value = read.member->template get<T>();
    } else {
        read.found = read.member->is_null() ? Found::Null : Found::WrongType;
    }
    return read;
}
}  // namespace detail

inline Reading<std::string> ReadString(const nlohmann::json& object, const char* key) {
    return detail::ReadOfType<std::string>(object, key, &nlohmann::json::is_string);
}

inline Reading<bool> ReadBool(const nlohmann::json& object, const char* key) {
    return detail::ReadOfType<bool>(object, key, &nlohmann::json::is_boolean);
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

// A number converted as the JSON library does (a fraction dropped, a boolean
// as 0 or 1), except that a number out of the type's range throws instead of
// wrapping into another value.
template <typename Integer>
Integer ConvertedInteger(const nlohmann::json& object, const char* key, Integer fallback) {
    const IntegerReading<Integer> read = ReadInteger<Integer>(object, key);
    if (read.found == Found::Missing) return fallback;
    if (read.found != Found::Value) ThrowLibraryTypeError<Integer>(*read.member);
    if (read.outOfRange) ThrowOutOfRange(*read.member, key, sizeof(Integer) * 8);
    return read.value;
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
    const IntegerReading<Integer> read = ReadInteger<Integer>(object, key);
    if (read.found == Found::Missing) return fallback;
    if (read.found == Found::Value && !read.fromBoolean && !read.inexact && !read.outOfRange) return read.value;
    const nlohmann::json& value = *read.member;
    throw nlohmann::json::type_error::create(
        302, std::string("member '") + key + "' must be an integer of " + std::to_string(sizeof(Integer) * 8) +
                 " bits, but is " + (value.is_number() ? value.dump() : value.type_name()),
        &value);
}

inline std::string String(const nlohmann::json& object, const char* key, const std::string& fallback = {}) {
    const Reading<std::string> read = ReadString(object, key);
    if (read.found == Found::Missing) return fallback;
    if (read.found != Found::Value) ThrowLibraryTypeError<std::string>(*read.member);
    return read.value;
}

inline bool Bool(const nlohmann::json& object, const char* key, bool fallback = false) {
    const Reading<bool> read = ReadBool(object, key);
    if (read.found == Found::Missing) return fallback;
    if (read.found != Found::Value) ThrowLibraryTypeError<bool>(*read.member);
    return read.value;
}

}  // namespace json_read
