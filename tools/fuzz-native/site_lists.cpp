// The four site lists ("/doors", "/handhelds", "/panels/N/readers",
// "/connected-readers"), each read from the same answer by its own member.
// A list either fails as a whole (its documented failure) or every id comes
// out as the element sent it: the number, a fraction's whole part, a boolean
// as 0 or 1, 0 when absent; never a value wrapped into another.

#include "api/SiteRecords.h"
#include "platform/JsonDocument.h"
#include "tools/fuzz-native/FuzzCheck.h"
#include "tools/fuzz/SentValues.h"

namespace {

using nlohmann::json;
using fuzz_native::Check;

template <typename Record>
void CheckList(const json& body, const char* member, Record (*read)(const json&),
               std::initializer_list<std::pair<const char*, std::int32_t Record::*>> ids, std::string_view input) {
    try {
        for (const json& element : ElementsOf(body, member)) {
            const Record record = read(element);
            for (const auto& [key, field] : ids) {
                const std::optional<long double> sent = fuzz::SentInteger(element, key, false);
                Check(sent && *sent == record.*field,
                      std::string(member) + "." + key + " read as " + std::to_string(record.*field), input);
            }
        }
    } catch (const nlohmann::json::exception&) {
        // the list's failure path: wrong shape, wrong type, out of range
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input = fuzz_native::AsText(data, size);
    json body;
    try {
        body = tly::ParseJson(input);
    } catch (const nlohmann::json::exception&) {
        return 0;
    }
    CheckList<DoorInfo>(body, "doors", &ReadDoor,
                        {{"id", &DoorInfo::id},
                         {"external_entry_reader_id", &DoorInfo::external_entry_reader_id},
                         {"external_exit_reader_id", &DoorInfo::external_exit_reader_id}},
                        input);
    CheckList<HandheldInfo>(body, "handhelds", &ReadHandheld,
                            {{"id", &HandheldInfo::id}, {"door_id", &HandheldInfo::door_id}}, input);
    CheckList<ReaderInfo>(body, "readers", &ReadReader, {{"id", &ReaderInfo::id}, {"door_id", &ReaderInfo::door_id}},
                          input);
    CheckList<HandheldInfo>(body, "connected_readers", &ReadConnectedReader,
                            {{"id", &HandheldInfo::id}, {"door_id", &HandheldInfo::door_id}}, input);
    return 0;
}
