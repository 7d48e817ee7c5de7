#include "api/PendingBatch.h"

#include "api/PlainPendingBatch.h"
#include "platform/JsonDocument.h"
#include "platform/JsonOutline.h"
#include "platform/JsonRead.h"

#include <exception>
#include <limits>

namespace {

// Cut at a character boundary, so the text stays valid UTF-8 in the log.
std::string CutText(std::string_view text) {
    if (text.size() <= kMalformedTextLimit) return std::string(text);
    size_t end = kMalformedTextLimit;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    return std::string(text.substr(0, end));
}

// An activity's members as written, the last of a repeated one winning as in
// the parsed document.
class MemberTexts {
public:
    explicit MemberTexts(std::string_view element) {
        std::vector<tly::JsonMemberSpan> spans;
        if (!tly::SplitJsonObject(element, spans)) return;
        for (const tly::JsonMemberSpan& span : spans) {
            if (std::optional<std::string> key = tly::DecodeJsonStringToken(span.keyToken)) {
                members_.emplace_back(std::move(*key), span.value);
            }
        }
    }

    const std::string_view* Find(const char* key) const {
        for (auto it = members_.rbegin(); it != members_.rend(); ++it) {
            if (it->first == key) return &it->second;
        }
        return nullptr;
    }

private:
    std::vector<std::pair<std::string, std::string_view>> members_;
};

// Ids and badge numbers go back to the server or on to the host, so they are
// judged on the number as written, never on a double converted from it.
template <typename Integer>
Integer ExactMember(const nlohmann::json& element, const MemberTexts& texts, const char* key) {
    const std::string_view* written = texts.Find(key);
    if (!written) return json_read::ExactInteger<Integer>(element, key);  // absent, or not an object
    const nlohmann::json* value = json_read::Member(element, key);
    if (!value || !value->is_number()) return json_read::ExactInteger<Integer>(element, key);  // the type's error
    std::int64_t exact = 0;
    if (!tly::ExactIntegerFromJsonNumber(*written, std::numeric_limits<Integer>::min(),
                                         std::numeric_limits<Integer>::max(), exact)) {
        throw nlohmann::json::type_error::create(302,
                                                 std::string("member '") + key + "' must be an integer of " +
                                                     std::to_string(sizeof(Integer) * 8) + " bits, but is " +
                                                     std::string(*written),
                                                 value);
    }
    return static_cast<Integer>(exact);
}

PendingActivity ReadActivity(const nlohmann::json& element, std::string_view raw) {
    const MemberTexts texts(raw);
    PendingActivity a;
    a.raw = raw;
    if (!json_read::Member(element, "adm_id")) {
        throw nlohmann::json::out_of_range::create(403, "member 'adm_id' is missing", &element);
    }
    a.admId = ExactMember<std::int32_t>(element, texts, "adm_id");
    a.activityType = ExactMember<std::int32_t>(element, texts, "activity_type");
    a.badgeNo = ExactMember<std::int64_t>(element, texts, "badge_no");
    a.readerExternalId = json_read::String(element, "reader_external_id");
    a.doorName = json_read::String(element, "door_name");
    a.readerName = json_read::String(element, "reader_name");
    a.timestamp = json_read::String(element, "timestamp");
    if (a.IsAlarm()) {
        a.sourceType = ExactMember<std::int32_t>(element, texts, "source_type");
        json_read::String(element, "alarm_description");  // not used, but its type is checked
        a.alarmFullText = json_read::String(element, "alarm_full_text");
    } else {
        a.entryGranted = json_read::Bool(element, "entry_granted");
        a.notes = json_read::String(element, "notes");
    }
    return a;
}

// The id of an activity that could not be read, when its text still names one.
std::optional<std::int32_t> IdOfMalformed(std::string_view raw) {
    const MemberTexts texts(raw);  // Find points into it: it must outlive the read below
    const std::string_view* written = texts.Find("adm_id");
    std::int64_t id = 0;
    if (written && tly::ExactIntegerFromJsonNumber(*written, std::numeric_limits<std::int32_t>::min(),
                                                   std::numeric_limits<std::int32_t>::max(), id)) {
        return static_cast<std::int32_t>(id);
    }
    return std::nullopt;
}

MalformedActivity Malformed(std::string_view raw, std::string reason) {
    MalformedActivity m;
    m.admId = IdOfMalformed(raw);
    m.text = CutText(raw);
    m.reason = std::move(reason);
    return m;
}

// One element of "activities", read on its own: whatever is wrong with it
// (its syntax, its nesting, a number no double holds, a member's type) sets
// it aside and nothing else.
void ReadElement(std::string_view raw, PendingBatch& batch) {
    if (!tly::JsonNestingWithin(raw)) {
        batch.malformed.push_back(
            Malformed(raw, "nesting deeper than " + std::to_string(tly::kMostJsonNesting) + " levels"));
        return;
    }
    try {
        const nlohmann::json element = nlohmann::json::parse(raw);
        json_read::Object(element);
        batch.activities.push_back(ReadActivity(element, raw));
    } catch (const nlohmann::json::exception& e) {
        batch.malformed.push_back(Malformed(raw, e.what()));
    }
}

// A response whose outline cannot be split is read whole, so what is wrong
// with it is reported in the parser's words (and fails the response).
PendingBatch ReadWhole(std::string_view response) {
    const nlohmann::json body = tly::ParseJson(response);
    json_read::Member(body, "activities");  // "cannot use value() with array"
    throw nlohmann::json::parse_error::create(101, 0, "response is not a batch of activities", &body);
}

}  // namespace

PendingBatch ParsePendingBatch(std::string_view response) {
    if (std::optional<PendingBatch> plain = ReadPlainPendingBatch(response)) return std::move(*plain);
    return ParsePendingBatchDocument(response);
}

// The response's outline is split first and each activity parsed on its own,
// so one activity nested too deeply or holding a number out of range is set
// aside while the response as a whole still counts.
PendingBatch ParsePendingBatchDocument(std::string_view response) {
    std::vector<tly::JsonMemberSpan> members;
    if (!tly::SplitJsonObject(response, members)) return ReadWhole(response);

    std::optional<std::string_view> activities;
    std::optional<std::string_view> remaining;
    for (const tly::JsonMemberSpan& member : members) {
        const std::optional<std::string> key = tly::DecodeJsonStringToken(member.keyToken);
        if (!key) return ReadWhole(response);
        if (*key == "activities") {
            activities = member.value;
        } else if (*key == "remaining_count") {
            remaining = member.value;
        } else {
            tly::ParseJson(member.value);  // a member nobody reads must still be JSON
        }
    }

    PendingBatch batch;
    if (remaining) {
        nlohmann::json holder = nlohmann::json::object();
        holder["remaining_count"] = tly::ParseJson(*remaining);
        batch.remainingCount = json_read::Int32(holder, "remaining_count");
    }
    if (!activities) return batch;
    std::vector<std::string_view> elements;
    if (!tly::SplitJsonArray(*activities, elements)) {
        const nlohmann::json value = tly::ParseJson(*activities);
        if (value.is_null()) return batch;
        json_read::Array(value);  // "type must be array, but is ..."
        return ReadWhole(response);
    }
    batch.empty = elements.empty();
    batch.activities.reserve(elements.size());
    for (std::string_view element : elements) ReadElement(element, batch);
    return batch;
}
