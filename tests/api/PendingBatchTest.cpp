#include "api/PendingBatch.h"
#include "api/PlainPendingBatch.h"
#include "platform/JsonOutline.h"

#include <gtest/gtest.h>

#include <cstdint>
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
        // one UTF-8 byte order mark at the start, in both readers
        {"\xEF\xBB\xBF{\"activities\":[{\"adm_id\":1,\"reader_external_id\":\"1:2\"}],\"remaining_count\":0}", true},
        {"\xEF\xBB\xBF{\"activities\":[{\"adm_id\":1,\"door_name\":\"a\\\"b\"}]}", false},
        {"\xEF\xBB\xBF\xEF\xBB\xBF{\"activities\":[]}", false},
        {" \xEF\xBB\xBF{\"activities\":[]}", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ReadPlainPendingBatch(c.text).has_value(), c.quick) << c.text;
        EXPECT_EQ(DescribeRead(c.text, ParsePendingBatch), DescribeRead(c.text, ParsePendingBatchDocument)) << c.text;
    }
    // Read, not failed: the mark is skipped, not merely treated alike.
    const std::string marked =
        "\xEF\xBB\xBF" + std::string(R"({"activities":[{"adm_id":5,"door_name":"a\"b"}],"remaining_count":2})");
    const PendingBatch batch = ParsePendingBatchDocument(marked);
    ASSERT_EQ(batch.activities.size(), 1u);
    EXPECT_EQ(batch.activities[0].admId, 5);
    EXPECT_EQ(batch.activities[0].doorName, "a\"b");
    EXPECT_EQ(batch.activities[0].raw, R"({"adm_id":5,"door_name":"a\"b"})");
    EXPECT_EQ(batch.remainingCount, 2);
    EXPECT_THROW(ParsePendingBatch("\xEF\xBB\xBF\xEF\xBB\xBF{\"activities\":[]}"), std::exception);
}

// One activity that cannot be read exactly as written is set aside, whatever
// makes it so, and its batch-mates are read; only a response that is not JSON
// or not a batch fails whole.
TEST(PendingBatchTest, EachMalformedActivityIsSetAsideAlone) {
    const std::string deep = std::string(70, '[') + std::string(70, ']');
    struct Case {
        std::string activity;
        const char* malformedId;  // the id the malformed line names, "-" for none; nullptr: read as an activity
        std::int64_t badge;       // when read
    };
    const Case cases[] = {
        {R"({"adm_id":5.0000000000000001})", "-", 0},
        {R"({"adm_id":1e-400})", "-", 0},
        {R"({"adm_id":7,"badge_no":1e400})", "7", 0},
        {R"({"adm_id":7,"badge_no":)" + std::string(400, '9') + "}", "7", 0},
        {R"({"adm_id":7,"badge_no":4242.0000000000001})", "7", 0},
        {R"({"adm_id":7,"notes":)" + deep + "}", "7", 0},
        {deep, "-", 0},
        {R"({"badge_no":12})", "-", 0},  // no id: it would be marked as 0 and come back for ever
        {R"({"adm_id":7,"badge_no":tru})", "7", 0},
        {R"({"adm_id":7,"badge_no":9007199254740993.0})", nullptr, 9007199254740993LL},
        {R"({"adm_id":7.0,"badge_no":42e3})", nullptr, 42000},
        {R"({"adm_id":7,"badge_no":-9223372036854775808})", nullptr, INT64_MIN},
    };
    for (const Case& c : cases) {
        const std::string text = R"({"activities":[{"adm_id":1,"badge_no":11},)" + c.activity +
                                 R"(,{"adm_id":2,"badge_no":22}],"remaining_count":3})";
        PendingBatch batch;
        ASSERT_NO_THROW(batch = ParsePendingBatch(text)) << c.activity;
        EXPECT_EQ(batch.remainingCount, 3) << c.activity;
        if (c.malformedId) {
            ASSERT_EQ(batch.activities.size(), 2u) << c.activity;
            ASSERT_EQ(batch.malformed.size(), 1u) << c.activity;
            EXPECT_EQ(batch.malformed[0].admId ? std::to_string(*batch.malformed[0].admId) : "-", c.malformedId)
                << c.activity;
            EXPECT_EQ(batch.activities[1].badgeNo, 22) << "the batch-mate after it is read: " << c.activity;
        } else {
            ASSERT_EQ(batch.activities.size(), 3u) << c.activity;
            EXPECT_EQ(batch.activities[1].badgeNo, c.badge) << c.activity;
            EXPECT_EQ(batch.activities[1].admId, 7) << c.activity;
        }
        for (const PendingActivity& a : batch.activities) {
            EXPECT_EQ(a.raw.front(), '{') << "each activity keeps its text: " << c.activity;
            EXPECT_EQ(a.raw.back(), '}') << c.activity;
        }
    }
    for (const char* whole : {"{\"activities\":[{\"adm_id\":1}", "{\"activities\":[1e400]} x", "[{\"adm_id\":1}]",
                              "{\"activities\":{\"adm_id\":1}}", "{\"activities\":[],\"remaining_count\":1e400}"}) {
        EXPECT_ANY_THROW(ParsePendingBatch(whole)) << whole;
    }
}

TEST(PendingBatchTest, IntegersAreReadFromTheirTextExactly) {
    struct Case {
        const char* text;
        bool exact;
        std::int64_t value;
    };
    const Case cases[] = {
        {"0", true, 0},          {"-0", true, 0},          {"0.000", true, 0},       {"0e-999999999999", true, 0},
        {"7", true, 7},          {"7.0", true, 7},         {"700e-2", true, 7},      {"0.07E2", true, 7},
        {"-12E+1", true, -120},  {"7.5", false, 0},        {"1e-400", false, 0},     {"5.0000000000000001", false, 0},
        {"2147483647", true, 2147483647},                  {"2147483648", false, 0}, {"-2147483648", true, INT32_MIN},
        {"-2147483649", false, 0},                         {"1e10", false, 0},       {"01", false, 0},
        {"1.", false, 0},        {".5", false, 0},         {"1e", false, 0},         {"+1", false, 0},
        {"", false, 0},          {"-", false, 0},          {"1 ", false, 0},         {"0x10", false, 0},
    };
    for (const Case& c : cases) {
        std::int64_t value = -1;
        EXPECT_EQ(tly::ExactIntegerFromJsonNumber(c.text, INT32_MIN, INT32_MAX, value), c.exact) << c.text;
        if (c.exact) {
            EXPECT_EQ(value, c.value) << c.text;
        }
    }
    std::int64_t value = 0;
    EXPECT_TRUE(tly::ExactIntegerFromJsonNumber("9223372036854775807", INT64_MIN, INT64_MAX, value));
    EXPECT_EQ(value, INT64_MAX);
    EXPECT_FALSE(tly::ExactIntegerFromJsonNumber("9223372036854775808", INT64_MIN, INT64_MAX, value));
    EXPECT_TRUE(tly::ExactIntegerFromJsonNumber("-9223372036854775808", INT64_MIN, INT64_MAX, value));
    EXPECT_EQ(value, INT64_MIN);
    EXPECT_FALSE(tly::ExactIntegerFromJsonNumber("18446744073709551616", INT64_MIN, INT64_MAX, value));
}
