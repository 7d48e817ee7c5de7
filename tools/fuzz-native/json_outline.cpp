// The outline scan that splits an answer into its parts before each part is
// parsed alone, the key decoder, and the exact reading of integers from their
// text: each held against the JSON library's parse of the same input.

#include "platform/JsonDocument.h"
#include "platform/JsonOutline.h"
#include "tools/fuzz-native/FuzzCheck.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>

namespace {

using nlohmann::json;
using fuzz_native::Check;

void CheckObject(const json& document, std::string_view input) {
    std::vector<tly::JsonMemberSpan> members;
    Check(tly::SplitJsonObject(input, members), "an object the parser reads is split", input);
    std::map<std::string, std::string_view> last;  // a repeated key: the last one counts, as in the document
    for (const tly::JsonMemberSpan& member : members) {
        const std::optional<std::string> key = tly::DecodeJsonStringToken(member.keyToken);
        Check(key.has_value(), "every key of a parsed object decodes", input);
        last[*key] = member.value;
    }
    Check(last.size() == document.size(), "as many distinct keys as the document has", input);
    for (const auto& [key, value] : last) {
        Check(document.contains(key) && json::parse(value) == document.at(key), "member '" + key + "' as parsed",
              input);
    }
}

void CheckArray(const json& document, std::string_view input) {
    std::vector<std::string_view> elements;
    Check(tly::SplitJsonArray(input, elements), "an array the parser reads is split", input);
    Check(elements.size() == document.size(), "as many elements as the document has", input);
    for (std::size_t i = 0; i < elements.size(); ++i) {
        Check(json::parse(elements[i]) == document[i], "element " + std::to_string(i) + " as parsed", input);
    }
}

void CheckNumber(const json& document, std::string_view input) {
    // The number's own text, without the white space the parser allows around it.
    constexpr std::string_view kSpace = " \t\n\r";
    std::string_view text = input;
    text.remove_prefix(std::min(text.find_first_not_of(kSpace), text.size()));
    text = text.substr(0, text.find_last_not_of(kSpace) + 1);
    std::int64_t value = 0;
    const bool exact = tly::ExactIntegerFromJsonNumber(text, INT64_MIN, INT64_MAX, value);
    if (document.is_number_integer() && !document.is_number_unsigned()) {
        Check(exact && value == document.get<std::int64_t>(), "an integer is read as itself", input);
    } else if (document.is_number_unsigned()) {
        const std::uint64_t number = document.get<std::uint64_t>();
        Check(exact == (number <= static_cast<std::uint64_t>(INT64_MAX)) &&
                  (!exact || static_cast<std::uint64_t>(value) == number),
              "an unsigned integer is read as itself, within 64 signed bits", input);
    } else if (exact) {
        // A number written with a fraction part or exponent: the double the
        // parser made lies within its rounding of the exact value.
        const double parsed = document.get<double>();
        Check(std::trunc(parsed) == parsed || std::fabs(parsed) >= 9007199254740992.0,
              "an exact integer parses to a whole double", input);
        Check(std::fabs(parsed - static_cast<double>(value)) <= 2 * std::ldexp(std::fabs(parsed), -52),
              "an exact integer is the parsed number", input);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The JSON library ends a text at its first NUL; so do these checks.
    const std::string_view input = fuzz_native::AsText(data, ::strnlen(reinterpret_cast<const char*>(data), size));
    // Whatever the input, the scans stay within it.
    std::vector<tly::JsonMemberSpan> members;
    std::vector<std::string_view> elements;
    const bool object = tly::SplitJsonObject(input, members);
    const bool array = tly::SplitJsonArray(input, elements);
    Check(!(object && array), "a text is an object or an array, not both", input);

    const json document = tly::ParseJsonOrDiscard(input);
    if (document.is_discarded()) return 0;
    if (document.is_object()) CheckObject(document, input);
    if (document.is_array()) CheckArray(document, input);
    if (document.is_number()) CheckNumber(document, input);
    if (document.is_string() && !input.empty() && input.front() == '"') {
        Check(tly::DecodeJsonStringToken(input) == document.get<std::string>(), "a string token decodes as parsed",
              input);
    }
    return 0;
}
