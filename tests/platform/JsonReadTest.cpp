#include "platform/JsonRead.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

using nlohmann::json;
using json_read::Found;

namespace {

// The member "m" of an object, or an object without it when value is empty.
json Holder(const std::optional<json>& value) {
    json object = json::object();
    if (value) object["m"] = *value;
    return object;
}

struct IntegerCase {
    std::optional<json> value;
    Found found;
    std::int64_t read;  // the value read (clamped), when found
    bool fromBoolean;
    bool inexact;
    bool outOfRange;
};

template <typename Integer>
void CheckIntegerReads(const std::vector<IntegerCase>& cases) {
    for (const IntegerCase& c : cases) {
        SCOPED_TRACE(c.value ? c.value->dump() : "missing");
        const auto read = json_read::ReadInteger<Integer>(Holder(c.value), "m");
        EXPECT_EQ(read.found, c.found);
        EXPECT_EQ(read.member != nullptr, c.value.has_value());
        if (c.found != Found::Value) continue;
        EXPECT_EQ(read.value, static_cast<Integer>(c.read));
        EXPECT_EQ(read.fromBoolean, c.fromBoolean);
        EXPECT_EQ(read.inexact, c.inexact);
        EXPECT_EQ(read.outOfRange, c.outOfRange);
    }
}

std::string ErrorOf(void (*read)(const json&), const json& object) {
    try {
        read(object);
    } catch (const std::exception& e) {
        return e.what();
    }
    return "no error";
}

}  // namespace

TEST(JsonReadTest, IntegersOf32BitsSayWhatTheMemberHeld) {
    constexpr std::int64_t lowest = std::numeric_limits<std::int32_t>::min();
    constexpr std::int64_t highest = std::numeric_limits<std::int32_t>::max();
    CheckIntegerReads<std::int32_t>({
        {std::nullopt, Found::Missing, 0, false, false, false},
        {json(), Found::Null, 0, false, false, false},
        {json("7"), Found::WrongType, 0, false, false, false},
        {json::array({1}), Found::WrongType, 0, false, false, false},
        {json::object(), Found::WrongType, 0, false, false, false},
        {json(true), Found::Value, 1, true, false, false},
        {json(false), Found::Value, 0, true, false, false},
        {json(highest), Found::Value, highest, false, false, false},
        {json(highest + 1), Found::Value, highest, false, false, true},
        {json(lowest), Found::Value, lowest, false, false, false},
        {json(lowest - 1), Found::Value, lowest, false, false, true},
        {json(std::uint64_t{18446744073709551615u}), Found::Value, highest, false, false, true},
        {json(1.9), Found::Value, 1, false, true, false},
        {json(-1.9), Found::Value, -1, false, true, false},
        {json(-0.5), Found::Value, 0, false, true, false},
        {json(2147483647.9), Found::Value, highest, false, true, false},
        {json(2147483648.0), Found::Value, highest, false, false, true},
        {json(-2147483648.9), Found::Value, lowest, false, true, false},
        {json(-2147483649.0), Found::Value, lowest, false, false, true},
        {json(std::numeric_limits<double>::infinity()), Found::Value, highest, false, true, true},
        {json(-std::numeric_limits<double>::infinity()), Found::Value, lowest, false, true, true},
        {json(std::nan("")), Found::Value, 0, false, true, true},
    });
}

TEST(JsonReadTest, IntegersOf64BitsSayWhetherADoubleHeldThemExactly) {
    constexpr std::int64_t lowest = std::numeric_limits<std::int64_t>::min();
    constexpr std::int64_t highest = std::numeric_limits<std::int64_t>::max();
    CheckIntegerReads<std::int64_t>({
        {json(highest), Found::Value, highest, false, false, false},
        {json(std::uint64_t{9223372036854775808u}), Found::Value, highest, false, false, true},
        {json(lowest), Found::Value, lowest, false, false, false},
        {json(9007199254740992.0), Found::Value, 9007199254740992, false, false, false},  // 2^53
        {json(-9007199254740992.0), Found::Value, -9007199254740992, false, false, false},
        {json(9007199254740994.0), Found::Value, 9007199254740994, false, true, false},
        {json(9223372036854774784.0), Found::Value, 9223372036854774784, false, true, false},  // below 2^63
        {json(9223372036854775808.0), Found::Value, highest, false, true, true},               // 2^63
        {json(-9223372036854775808.0), Found::Value, lowest, false, true, false},
        {json(-9.3e18), Found::Value, lowest, false, true, true},
    });
}

TEST(JsonReadTest, StringsAndBooleansTakeOnlyTheirOwnType) {
    const std::vector<std::pair<std::optional<json>, Found>> strings = {
        {std::nullopt, Found::Missing}, {json(), Found::Null},          {json("x"), Found::Value},
        {json(""), Found::Value},       {json(1), Found::WrongType},    {json(false), Found::WrongType},
    };
    for (const auto& [value, found] : strings) {
        SCOPED_TRACE(value ? value->dump() : "missing");
        const auto read = json_read::ReadString(Holder(value), "m");
        EXPECT_EQ(read.found, found);
        if (found == Found::Value) {
            EXPECT_EQ(read.value, value->get<std::string>());
        }
    }
    const std::vector<std::pair<std::optional<json>, Found>> booleans = {
        {std::nullopt, Found::Missing}, {json(), Found::Null},       {json(true), Found::Value},
        {json(false), Found::Value},    {json(1), Found::WrongType}, {json("true"), Found::WrongType},
    };
    for (const auto& [value, found] : booleans) {
        SCOPED_TRACE(value ? value->dump() : "missing");
        const auto read = json_read::ReadBool(Holder(value), "m");
        EXPECT_EQ(read.found, found);
        if (found == Found::Value) {
            EXPECT_EQ(read.value, value->get<bool>());
        }
    }
}

// The strict reads of server JSON raise the library's wording, or say which
// member did not fit; callers log these texts.
TEST(JsonReadTest, StrictReadsThrowTextsThatNameTheFault) {
    const auto int32 = [](const json& o) { static_cast<void>(json_read::Int32(o, "m")); };
    const auto exact32 = [](const json& o) { static_cast<void>(json_read::ExactInteger<std::int32_t>(o, "m")); };
    const auto text = [](const json& o) { static_cast<void>(json_read::String(o, "m")); };
    const auto flag = [](const json& o) { static_cast<void>(json_read::Bool(o, "m")); };
    const std::string typeError = "[json.exception.type_error.302] ";
    const struct {
        void (*read)(const json&);
        json object;
        std::string error;
    } cases[] = {
        {int32, Holder(json()), typeError + "type must be number, but is null"},
        {int32, Holder(json("1")), typeError + "type must be number, but is string"},
        {int32, Holder(json(2147483648)), typeError + "member 'm' must fit in 32 bits, but is 2147483648"},
        {int32, Holder(json(-2147483649.0)), typeError + "member 'm' must fit in 32 bits, but is -2147483649.0"},
        {int32, json::array(), "[json.exception.type_error.306] cannot use value() with array"},
        {exact32, Holder(json(1.5)), typeError + "member 'm' must be an integer of 32 bits, but is 1.5"},
        {exact32, Holder(json(true)), typeError + "member 'm' must be an integer of 32 bits, but is boolean"},
        {exact32, Holder(json(2147483648)), typeError + "member 'm' must be an integer of 32 bits, but is 2147483648"},
        {text, Holder(json(5)), typeError + "type must be string, but is number"},
        {text, Holder(json()), typeError + "type must be string, but is null"},
        {flag, Holder(json(1)), typeError + "type must be boolean, but is number"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.object.dump());
        EXPECT_EQ(ErrorOf(c.read, c.object), c.error);
    }
    // What does fit, or is absent, reads without a fault.
    EXPECT_EQ(json_read::Int32(Holder(json(-2147483648.9)), "m"), std::numeric_limits<std::int32_t>::min());
    EXPECT_EQ(json_read::Int32(Holder(std::nullopt), "m", 9), 9);
    EXPECT_EQ(json_read::ExactInteger<std::int32_t>(Holder(json(7.0)), "m"), 7);
    EXPECT_EQ(json_read::String(Holder(std::nullopt), "m", "d"), "d");
    EXPECT_TRUE(json_read::Bool(Holder(json(true)), "m"));
}
