// The text of a log line, built piece by piece for speed, against the JSON
// library writing the same line as an object: whatever the component, event,
// message and fields a caller passes (texts from the server included), the
// line is the library's bytes exactly, or it is refused as not UTF-8 exactly
// when the library refuses it.

#include "logging/LogLine.h"
#include "tools/fuzz-native/FuzzCheck.h"

#include <nlohmann/json.hpp>

namespace {

using nlohmann::json;
using fuzz_native::Check;

// The input cut into its parts at 0x1F bytes: component, event, message, then
// field keys and values in turn; a value that parses as JSON is that value,
// anything else a string.
struct Parts {
    std::vector<std::string> texts;
    LogFields fields;
};

Parts Cut(const std::string& input) {
    Parts parts;
    std::size_t start = 0;
    while (start <= input.size()) {
        std::size_t end = input.find('\x1f', start);
        if (end == std::string::npos) end = input.size();
        parts.texts.push_back(input.substr(start, end - start));
        start = end + 1;
    }
    while (parts.texts.size() < 3) parts.texts.emplace_back();
    for (std::size_t i = 3; i + 1 < parts.texts.size(); i += 2) {
        json value = json::parse(parts.texts[i + 1], nullptr, false);
        if (value.is_discarded()) value = parts.texts[i + 1];
        parts.fields.emplace_back(parts.texts[i], std::move(value));
    }
    return parts;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 4096) return 0;  // a line's parts are short; longer inputs only slow the search
    const std::string input(reinterpret_cast<const char*>(data), size);
    const Parts parts = Cut(input);
    const auto level = static_cast<LogLevel>(size % 7);  // 6 stands for a level outside the enumeration
    const LogLineOrigin origin{-5, 2147483647, {2024, 3, 5, 14, 7, 9, 42}};

    json expected = json::object();
    expected["component"] = parts.texts[0];
    expected["event"] = parts.texts[1];
    if (!parts.texts[2].empty()) expected["message"] = parts.texts[2];
    expected["level"] = LogLevelName(level);
    expected["process_id"] = origin.processId;
    expected["thread_id"] = origin.threadId;
    expected["timestamp"] = "2024-03-05T14:07:09.042";
    if (!parts.fields.empty()) {
        json fields = json::object();
        for (const LogField& field : parts.fields) fields[field.key] = field.value;  // the later one wins
        expected["fields"] = fields;
    }
    std::optional<std::string> library;
    try {
        library = expected.dump();
    } catch (const json::exception&) {
        // not UTF-8: the library refuses it, so must the line
    }
    std::optional<std::string> line;
    try {
        line = LogLineText(level, parts.texts[0], parts.texts[1], std::string_view(parts.texts[2]),
                           parts.fields.data(), parts.fields.size(), origin);
    } catch (const json::exception&) {
    }
    Check(line.has_value() == library.has_value(), "the line is refused exactly when the library refuses it", input);
    if (line) Check(*line == *library, "the line is the library's bytes:\n" + *line + "\n" + *library, input);
    return 0;
}
