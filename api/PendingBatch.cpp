#include "api/PendingBatch.h"

#include "api/JsonRead.h"
#include "api/PlainPendingBatch.h"
#include "platform/JsonDocument.h"

#include <exception>

namespace {

// Cut at a character boundary, so the text stays valid UTF-8 in the log.
std::string CutText(std::string text) {
    if (text.size() <= kMalformedTextLimit) return text;
    size_t end = kMalformedTextLimit;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    text.resize(end);
    return text;
}

PendingActivity ReadActivity(const nlohmann::json& element) {
    PendingActivity a;
    a.admId = json_read::ExactInteger<std::int32_t>(element, "adm_id");
    a.activityType = json_read::ExactInteger<std::int32_t>(element, "activity_type");
    a.badgeNo = json_read::ExactInteger<std::int64_t>(element, "badge_no");
    a.readerExternalId = json_read::String(element, "reader_external_id");
    a.doorName = json_read::String(element, "door_name");
    a.readerName = json_read::String(element, "reader_name");
    a.timestamp = json_read::String(element, "timestamp");
    if (a.IsAlarm()) {
        a.sourceType = json_read::ExactInteger<std::int32_t>(element, "source_type");
        json_read::String(element, "alarm_description");  // not used, but its type is checked
        a.alarmFullText = json_read::String(element, "alarm_full_text");
    } else {
        a.entryGranted = json_read::Bool(element, "entry_granted");
        a.notes = json_read::String(element, "notes");
    }
    return a;
}

MalformedActivity Malformed(const nlohmann::json& element, const std::exception& error) {
    MalformedActivity m;
    try {
        if (element.is_object()) m.admId = json_read::ExactInteger<std::int32_t>(element, "adm_id");
    } catch (const std::exception&) {
        // The id itself is unreadable: it is logged without one.
    }
    m.text = CutText(element.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    m.reason = error.what();
    return m;
}

}  // namespace

PendingBatch ParsePendingBatch(std::string_view response) {
    if (std::optional<PendingBatch> plain = ReadPlainPendingBatch(response)) return std::move(*plain);
    return ParsePendingBatchDocument(response);
}

PendingBatch ParsePendingBatchDocument(std::string_view response) {
    const nlohmann::json body = tly::ParseJson(response);
    PendingBatch batch;
    const nlohmann::json* activities = json_read::Member(body, "activities");
    batch.remainingCount = json_read::Int32(body, "remaining_count");
    if (!activities || activities->is_null()) return batch;
    json_read::Array(*activities);
    batch.empty = activities->empty();
    batch.activities.reserve(activities->size());
    for (const nlohmann::json& element : *activities) {
        try {
            json_read::Object(element);
            batch.activities.push_back(ReadActivity(element));
        } catch (const nlohmann::json::exception& e) {
            batch.malformed.push_back(Malformed(element, e));
        }
    }
    return batch;
}
