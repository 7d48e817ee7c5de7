#include "translator/badges/BadgeEventFile.h"

#include "logging/Log.h"
#include "platform/UniqueResource.h"
#include "settings/TranslatorSettings.h"
#include "tests/support/LogReader.h"
#include "tests/support/TempModuleDirectory.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <stdexcept>
#include <vector>

using nlohmann::json;

namespace {

struct Delivered {
    std::int32_t reader;
    std::int64_t card;
    std::int32_t type;
    std::int32_t id;
    std::uint32_t time;
};

class BadgeEventFileTest : public ::testing::Test {
protected:
    BadgeEventFileTest() {
        TranslatorSettings settings;
        settings.log_level = "trace";
        ApplyLoggingSettings(settings);
    }
    void Pass(std::int32_t panel = 7) {
        RunBadgeEventFilePass(panel, [this](std::int32_t r, std::int64_t c, std::int32_t t, std::int32_t i,
                                            std::uint32_t time) {
            if (failDelivery) throw std::runtime_error("sink gone");
            delivered.push_back({r, c, t, i, time});
        });
    }
    void Pending(const json& records) { dir.Write("badge_events_pending.json", records.dump()); }
    json File(const char* name) { return json::parse(dir.Read(name)); }

    tly::test::TempModuleDirectory dir;
    std::vector<Delivered> delivered;
    bool failDelivery = false;
};

}  // namespace

TEST_F(BadgeEventFileTest, GrantedRecordIsDeliveredAndMovedToTheSentFile) {
    Pending(json::array({{{"panel_id", 7}, {"reader_id", 2}, {"card_number", 1234}, {"type", "granted"}}}));
    Pass();
    ASSERT_EQ(delivered.size(), 1u);
    EXPECT_EQ(delivered[0].reader, 2);
    EXPECT_EQ(delivered[0].card, 1234);
    EXPECT_EQ(delivered[0].type, 0);
    EXPECT_EQ(delivered[0].id, 0);
    EXPECT_EQ(delivered[0].time, 0u) << "no timestamp: the delivery stamps the current time";
    EXPECT_EQ(File("badge_events_pending.json"), json::array());
    json sent = File("badge_events_sent.json");
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0]["result"], "ok");
    EXPECT_TRUE(sent[0].contains("sent_at"));
    EXPECT_EQ(sent[0]["card_number"], 1234);
    EXPECT_EQ(tly::test::LinesWithEvent(dir.File("tly_translator.log"), "badge.event_sent").at(0)["message"],
              "Sent access granted event");
}

TEST_F(BadgeEventFileTest, EventCodesFollowTypeEventTypeAndDenyReason) {
    struct Case {
        json record;
        std::int32_t type;
        std::int32_t id;
    };
    const std::vector<Case> cases = {
        {{{"type", "denied"}, {"deny_reason", "passback"}}, 1, 21},
        {{{"type", "denied"}, {"deny_reason", "inactive_badge"}}, 1, 8},
        {{{"type", "denied"}, {"deny_reason", "invalid_access_level"}}, 1, 7},
        {{{"type", "denied"}, {"deny_reason", "unauthorized_time"}}, 1, 24},
        {{{"type", "denied"}, {"deny_reason", "whatever"}}, 1, 4},
        {json::object(), 1, 4},
        {{{"type", "Granted"}}, 1, 4},
        {{{"event_type", 0}, {"event_id", 5}, {"type", "denied"}, {"deny_reason", "passback"}}, 0, 5},
        {{{"event_type", 1}, {"event_id", 99}}, 1, 99},
    };
    json records = json::array();
    for (const Case& c : cases) {
        json record = c.record;
        record["panel_id"] = 7;
        record["card_number"] = 1;
        records.push_back(record);
    }
    Pending(records);
    Pass();
    ASSERT_EQ(delivered.size(), cases.size());
    for (size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(delivered[i].type, cases[i].type) << cases[i].record;
        EXPECT_EQ(delivered[i].id, cases[i].id) << cases[i].record;
    }
}

TEST_F(BadgeEventFileTest, OtherPanelsStayPendingNullRecordsAndNonObjectsAreDropped) {
    const json otherPanel = {{"panel_id", 8}, {"card_number", 5}, {"extra", {1, 2}}};
    Pending(json::array({otherPanel, 42, {{"panel_id", 7}, {"card_number", nullptr}, {"reader_id", nullptr}},
                         {{"panel_id", 7}, {"card_number", 9}}}));
    Pass();
    EXPECT_EQ(delivered.size(), 1u);
    EXPECT_EQ(File("badge_events_pending.json"), json::array({otherPanel}));
    EXPECT_EQ(File("badge_events_sent.json").size(), 1u);
    EXPECT_EQ(tly::test::LinesWithEvent(dir.File("tly_translator.log"), "badge.event_skipped_null").size(), 1u);
}

TEST_F(BadgeEventFileTest, WronglyTypedMembersAreRecordedWithAnErrorNotLost) {
    const std::vector<std::pair<json, std::string>> cases = {
        {{{"panel_id", 7}, {"card_number", "12"}}, "error: member 'card_number' must be an integer"},
        {{{"panel_id", 7}, {"card_number", 3}, {"type", nullptr}}, "error: member 'type' must be a string"},
        {{{"panel_id", "7"}, {"card_number", 4}}, "error: member 'panel_id' must be an integer"},
        {{{"panel_id", 7}, {"card_number", true}}, "error: member 'card_number' must be an integer"},
        {{{"panel_id", 7}, {"card_number", 6}, {"reader_id", 4294967297LL}},  // would wrap to 1
         "error: [json.exception.type_error.302] member 'reader_id' must fit in 32 bits, but is 4294967297"},
        {{{"panel_id", 7}, {"card_number", 6}, {"reader_id", -2147483649.0}},
         "error: [json.exception.type_error.302] member 'reader_id' must fit in 32 bits, but is -2147483649.0"},
        {{{"panel_id", 7}, {"card_number", 6}, {"event_type", 2147483648}},
         "error: [json.exception.type_error.302] member 'event_type' must fit in 32 bits, but is 2147483648"},
    };
    json records = json::array();
    for (const auto& c : cases) records.push_back(c.first);
    // Null takes the default; a fraction is dropped; the ends of the range are read.
    records.push_back({{"panel_id", 7.9}, {"card_number", 9223372036854775807LL}, {"reader_id", -2147483648LL},
                       {"event_type", nullptr}, {"type", "granted"}, {"event_id", 2147483647.5}});
    Pending(records);
    Pass();
    ASSERT_EQ(delivered.size(), 1u);
    EXPECT_EQ(delivered[0].card, 9223372036854775807LL);
    EXPECT_EQ(delivered[0].reader, -2147483648LL);
    EXPECT_EQ(delivered[0].type, 0);
    EXPECT_EQ(delivered[0].id, 2147483647);
    json sent = File("badge_events_sent.json");
    ASSERT_EQ(sent.size(), cases.size() + 1);
    for (size_t i = 0; i < cases.size(); ++i) EXPECT_EQ(sent[i]["result"], cases[i].second) << sent[i];
    EXPECT_EQ(sent[cases.size()]["result"], "ok");
    EXPECT_EQ(File("badge_events_pending.json"), json::array());
}

TEST_F(BadgeEventFileTest, FailedDeliveryIsRecordedAndNotRetried) {
    failDelivery = true;
    Pending(json::array({{{"panel_id", 7}, {"card_number", 1}}}));
    Pass();
    EXPECT_EQ(File("badge_events_sent.json")[0]["result"], "error: sink gone");
    EXPECT_EQ(File("badge_events_pending.json"), json::array());
}

TEST_F(BadgeEventFileTest, UnusableFilesLeaveEverythingAsItWas) {
    for (const char* text : {"{\"panel_id\":7}", "[]", "[1,", ""}) {
        dir.Write("badge_events_pending.json", text);
        Pass();
        EXPECT_EQ(dir.Read("badge_events_pending.json"), text);
        EXPECT_FALSE(dir.Exists("badge_events_sent.json"));
    }
    EXPECT_TRUE(delivered.empty());
}

TEST_F(BadgeEventFileTest, SentFileIsAppendedToAndReplacedWhenInvalid) {
    dir.Write("badge_events_sent.json", R"([{"old":true}])");
    Pending(json::array({{{"panel_id", 7}, {"card_number", 1}}}));
    Pass();
    EXPECT_EQ(File("badge_events_sent.json").size(), 2u);

    dir.Write("badge_events_sent.json", "not json");
    Pending(json::array({{{"panel_id", 7}, {"card_number", 2}}}));
    Pass();
    EXPECT_EQ(File("badge_events_sent.json").size(), 1u);
}

TEST_F(BadgeEventFileTest, AFileThatCannotBeWrittenIsRetriedWithoutDeliveringAgainOrLoggingEveryPass) {
    for (const char* blocked : {"badge_events_pending.json", "badge_events_sent.json"}) {
        SCOPED_TRACE(blocked);
        delivered.clear();
        tly::test::WriteFileBytes(dir.File("tly_translator.log"), "");  // the log keeps its file open
        dir.Write("badge_events_sent.json", "[]");
        const json record = {{"panel_id", 7}, {"card_number", 1}};
        Pending(json::array({record, {{"panel_id", 8}, {"card_number", 2}}}));
        {
            // Shares neither writing nor deletion: the file can be neither
            // replaced nor rewritten in place.
            const tly::UniqueFileHandle reader(::CreateFileA(dir.File(blocked).c_str(), GENERIC_READ,
                                                             FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                                             FILE_ATTRIBUTE_NORMAL, nullptr));
            ASSERT_TRUE(reader);
            Pass();
            Pass();
            EXPECT_EQ(delivered.size(), 1u);
            EXPECT_EQ(File("badge_events_pending.json").size(), 2u) << "rewritten only after the sent file";
            EXPECT_EQ(tly::test::LinesWithEvent(dir.File("tly_translator.log"), "badge.file_write_failed").size(), 1u);
        }
        Pass();
        EXPECT_EQ(delivered.size(), 1u);
        EXPECT_EQ(File("badge_events_pending.json"), json::array({{{"panel_id", 8}, {"card_number", 2}}}));
        const json sent = File("badge_events_sent.json");
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0]["card_number"], 1);
        EXPECT_EQ(tly::test::LinesWithEvent(dir.File("tly_translator.log"), "badge.file_write_recovered").size(), 1u);
    }
}

TEST_F(BadgeEventFileTest, RecordAppendedByAnOutsideWriterDuringThePassIsKept) {
    const json late = {{"panel_id", 7}, {"card_number", 77}};
    Pending(json::array({{{"panel_id", 7}, {"card_number", 1}}}));
    RunBadgeEventFilePass(7, [&](std::int32_t, std::int64_t, std::int32_t, std::int32_t, std::uint32_t) {
        Pending(json::array({{{"panel_id", 7}, {"card_number", 1}}, late}));
    });
    EXPECT_EQ(File("badge_events_pending.json"), json::array({late}));
}

TEST_F(BadgeEventFileTest, NestedPassDuringDeliverySkipsInsteadOfDeadlocking) {
    Pending(json::array({{{"panel_id", 7}, {"card_number", 1}}}));
    int nested = 0;
    RunBadgeEventFilePass(7, [&](std::int32_t, std::int64_t, std::int32_t, std::int32_t, std::uint32_t) {
        RunBadgeEventFilePass(7, [&](std::int32_t, std::int64_t, std::int32_t, std::int32_t, std::uint32_t) {
            ++nested;
        });
    });
    EXPECT_EQ(nested, 0);
}

TEST(BadgeEventTimeTest, ReadsSixNumbersAsUtc) {
    EXPECT_EQ(BadgeEventTime("2024-03-01T08:05:09"), 1709280309u);
    EXPECT_EQ(BadgeEventTime("2024-03-01"), 0u);
    EXPECT_EQ(BadgeEventTime(""), 0u);
    EXPECT_EQ(BadgeEventTime("1969-12-31T23:59:59"), 0xFFFFFFFFu);
    // Numbers at the end of int's range: no time, and no overflow on the way.
    EXPECT_EQ(BadgeEventTime("-2147483648-1-1T0:0:0"), 0xFFFFFFFFu);
    EXPECT_EQ(BadgeEventTime("2024--2147483648-1T0:0:0"), 0xFFFFFFFFu);
}
