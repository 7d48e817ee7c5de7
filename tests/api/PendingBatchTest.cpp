#include "api/PendingBatch.h"
#include "api/PlainPendingBatch.h"

#include <gtest/gtest.h>

#include <exception>
#include <string>

namespace {

// Everything a caller of ParsePendingBatch sees, as one text to compare.
std::string Describe(const PendingBatch& b) {
    std::string text = "empty=" + std::to_string(b.empty) + " remaining=" + std::to_string(b.remainingCount);
    for (const PendingActivity& a : b.activities) {
        text += "\n[" + std::to_string(a.admId) + "|" + std::to_string(a.activityType) + "|" +
                std::to_string(a.badgeNo) + "|" + a.readerExternalId + "|" + a.doorName + "|" + a.readerName + "|" +
                a.timestamp + "|" + std::to_string(a.entryGranted) + "|" + a.notes + "|" +
                std::to_string(a.sourceType) + "|" + a.alarmFullText + "]";
    }
    for (const MalformedActivity& m : b.malformed) {
        text += "\nmalformed " + (m.admId ? std::to_string(*m.admId) : "-") + " " + m.text + " " + m.reason;
    }
    return text;
}

std::string DescribeRead(std::string_view text, PendingBatch (*read)(std::string_view)) {
    try {
        return Describe(read(text));
    } catch (const std::exception& e) {
        return std::string("throws ") + e.what();
    }
}

}  // namespace

// The quick reader takes the usual shape and gives up on everything else; in
// both cases the batch reads exactly as the document reader reads it.
TEST(PendingBatchTest, QuickReaderTakesOnlyWhatTheDocumentReaderReadsAlike) {
    struct Case {
        const char* text;
        bool quick;
    };
    const Case cases[] = {
        {R"({"activities":[],"remaining_count":0})", true},
        {R"({"remaining_count":3})", true},
        {" {\r\n\t\"activities\" : [ { \"adm_id\" : 1 , \"badge_no\" : -77 } ] , \"remaining_count\" : 5 }\n", true},
        {R"({"activities":[{"adm_id":2147483647,"activity_type":0,"badge_no":123456789012345678,
            "reader_external_id":"1:2","door_name":"North gate","reader_name":"Gate reader",
            "timestamp":"2024-03-05T14:07:09Z","entry_granted":false,"notes":"Badge Expired",
            "source_type":"ignored for a badge","extra":null}],"remaining_count":0})",
         false},  // null, even in a member nobody reads
        {R"({"activities":[{"adm_id":-2147483648,"activity_type":3,"badge_no":5,"source_type":4,
            "alarm_description":"","alarm_full_text":"Panic at ~ door","entry_granted":"not read for an alarm",
            "extra":true}]})",
         true},
        {R"({"activities":[{"adm_id":7,"entry_granted":true,"door_name":"a\"b"}]})", false},  // escape
        {"{\"activities\":[{\"adm_id\":7,\"door_name\":\"T\xC3\xBCr\"}]}", false},       // beyond ASCII
        {"{\"activities\":[{\"adm_id\":7,\"door_name\":\"a\tb\"}]}", false},             // control character
        {R"({"activities":[{"adm_id":7.0}]})", false},
        {R"({"activities":[{"adm_id":7e0}]})", false},
        {R"({"activities":[{"adm_id":-0}]})", false},
        {R"({"activities":[{"adm_id":07}]})", false},
        {R"({"activities":[{"adm_id":2147483648}]})", false},
        {R"({"activities":[{"badge_no":1234567890123456789}]})", false},
        {R"({"activities":[{"adm_id":1,"adm_id":2}]})", false},
        {R"({"activities":[{"adm_id":"1"}]})", false},
        {R"({"activities":[{"adm_id":1,"entry_granted":1}]})", false},
        {R"({"activities":[{"adm_id":1,"notes":{"a":1}}]})", false},
        {R"({"activities":[{"adm_id":1},2]})", false},
        {R"({"activities":null,"remaining_count":0})", false},
        {R"({"activities":[],"remaining_count":true})", false},
        {R"({"activities":[],"remaining_count":0,"more":1})", false},
        {R"({"activities":[],"activities":[]})", false},
        {R"({"activities":[{"adm_id":1}]} x)", false},
        {R"({"activities":[{"adm_id":1}],})", false},
        {R"({"activities":[{"adm_id":1},]})", false},
        {R"({"activities":[{"adm_id":1})", false},
        {R"({"activities":[{"adm_id":tru}]})", false},
        {"", false},
        {"[]", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ReadPlainPendingBatch(c.text).has_value(), c.quick) << c.text;
        EXPECT_EQ(DescribeRead(c.text, ParsePendingBatch), DescribeRead(c.text, ParsePendingBatchDocument)) << c.text;
    }
}
