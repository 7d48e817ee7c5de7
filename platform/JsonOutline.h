#pragma once
// The outline of a JSON text without a document: an object's members or an
// array's elements as spans of the text, found by one flat scan that honours
// strings and brackets but neither recurses nor converts anything. A reader
// that must treat the parts of one document separately (one bad part set
// aside, the others read) splits first and parses each part on its own.
//
// The scan checks the outline only (brackets, commas, colons, string ends);
// what lies inside a span is for its own parse to judge.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tly {

struct JsonMemberSpan {
    std::string_view keyToken;  // the key with its quotes, escapes not decoded
    std::string_view value;
};

// False when the text (white space around it allowed, and one UTF-8 byte
// order mark at its very start, as the parser allows: JsonDocument.h) is not
// one object whose outline holds. The spans lie in the text given.
bool SplitJsonObject(std::string_view text, std::vector<JsonMemberSpan>& members);
// The same for one array.
bool SplitJsonArray(std::string_view text, std::vector<std::string_view>& elements);

// A key token's text, escapes decoded; nullopt when it is not a JSON string.
std::optional<std::string> DecodeJsonStringToken(std::string_view token);

// A JSON number read exactly as written: true when it denotes an integer
// within [lowest, highest] (7, 7.0, 7e0, 700e-2 all do; 7.5, 1e-400 and
// 5.0000000000000001 do not). No floating-point conversion is involved, so
// no digit is lost.
bool ExactIntegerFromJsonNumber(std::string_view number, std::int64_t lowest, std::int64_t highest,
                                std::int64_t& value) noexcept;

}  // namespace tly
