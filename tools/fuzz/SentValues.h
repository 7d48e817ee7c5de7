#pragma once
// The checks both parser sweeps make of what a reader returned against what
// its input sent (tools/fuzz under Wine, tools/fuzz-native under the
// sanitizers): ids and numbers as sent, and the two batch readers alike.

#include "api/PendingBatch.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdint>
#include <optional>
#include <tuple>

namespace fuzz {

using nlohmann::json;

// The value a strict integer read may give for what the input sent: the
// number itself, a float's whole part, a boolean as 0 or 1, 0 when absent.
// Empty when the input holds no such value (a string, a number out of range).
inline std::optional<long double> SentInteger(const json& object, const char* key, bool nullIsAbsent) {
    if (!object.is_object()) return std::nullopt;
    auto it = object.find(key);
    if (it == object.end() || (nullIsAbsent && it->is_null())) return 0.0L;
    if (it->is_number_unsigned()) return static_cast<long double>(it->get<std::uint64_t>());
    if (it->is_number_integer()) return static_cast<long double>(it->get<std::int64_t>());
    if (it->is_number_float()) return std::trunc(static_cast<long double>(it->get<double>()));
    if (it->is_boolean()) return it->get<bool>() ? 1.0L : 0.0L;
    return std::nullopt;
}

// True when `value` is what the element sent for key. Strict reads (ids that
// go back to the server) take no booleans and no fractions; the badge file
// reads null as absent.
inline bool AsSent(const json& element, const char* key, long double value, bool strict, bool nullIsAbsent = false) {
    if (strict && element.is_object()) {
        auto it = element.find(key);
        if (it != element.end() && (it->is_boolean() || (it->is_number_float() &&
                                                         std::trunc(it->get<double>()) != it->get<double>()))) {
            return false;
        }
    }
    const std::optional<long double> sent = SentInteger(element, key, nullIsAbsent);
    return sent && *sent == value;
}

// An integer member read as the element sent it: an integer exactly; a
// number with a fraction part or exponent as its value, as far as a double
// tells: within two units of its last place, since the library's conversion
// and the cast round on their own (the reader judges such numbers on their
// text, and the unit tests hold it to the exact value).
inline bool ExactlyAsSent(const json& element, const char* key, std::int64_t value) {
    auto it = element.find(key);
    if (it == element.end()) return value == 0;
    if (it->is_number_unsigned()) return value >= 0 && it->get<std::uint64_t>() == static_cast<std::uint64_t>(value);
    if (it->is_number_integer()) return it->get<std::int64_t>() == value;
    if (it->is_number_float()) {
        const double sent = it->get<double>();
        return std::fabs(sent - static_cast<double>(value)) <= 2 * std::ldexp(std::fabs(sent), -52);
    }
    return false;
}

// The quick reader's batch read exactly as the document reader reads it.
inline bool SameBatch(const PendingBatch& a, const PendingBatch& b) {
    const auto fields = [](const PendingActivity& x) {
        return std::tie(x.admId, x.activityType, x.badgeNo, x.readerExternalId, x.doorName, x.readerName,
                        x.timestamp, x.entryGranted, x.notes, x.sourceType, x.alarmFullText);
    };
    if (a.empty != b.empty || a.remainingCount != b.remainingCount || !b.malformed.empty() ||
        a.activities.size() != b.activities.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.activities.size(); ++i) {
        if (fields(a.activities[i]) != fields(b.activities[i])) return false;
    }
    return true;
}

}  // namespace fuzz
