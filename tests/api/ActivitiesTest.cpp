// Pending activity processing against the simulator: the road of one badge
// swipe, the batch loop, coalescing of notifications, strict member types, and
// delivery at least once under injected faults.

#include "api/TLYApi.h"
#include "api/TLYApiImpl.h"
#include "tests/support/ApiFixture.h"
#include "tests/support/LogReader.h"

#include <set>
#include <thread>

using tly::test::HasEvent;
using tly::test::LinesWithEvent;

namespace {

class ActivitiesTest : public tly::test::ApiFixture {
protected:
    ActivitiesTest() { LoadStandardSite(); }

    // Connected for panel 1 with call-backs, activities added without notifications.
    void ConnectQuietly(const std::vector<std::int32_t>& panels = {1}) {
        sim.Call("POST", "/config", {{"auto_notify_activities", false}});
        RegisterCallbacks();
        OpenAndConnect(panels);
    }
    std::vector<std::string> MarkedIdLists() {
        std::vector<std::string> marks;
        for (const auto& request : sim.Requests("/api/corvanta/activities/batch_processed")) {
            marks.push_back(request["query_params"].value("ids", ""));
        }
        return marks;
    }
    int PendingCount() { return sim.Call("GET", "/activities")["pending_count"].get<int>(); }
};

}  // namespace

TEST_F(ActivitiesTest, BadgeSwipeTravelsFromNotificationToCallbackToMark) {
    RegisterCallbacks();
    OpenAndConnect({1});
    ASSERT_EQ(sim.Call("POST", "/wait/ws_clients", {{"count", 1}})["count"], 1);

    AddActivity({{"reader_external_id", "1:2"}, {"badge_no", 4294967301LL}, {"entry_granted", false},
                 {"notes", "Card expired, user inactive"}, {"timestamp", "2024-01-02T03:04:05Z"}, {"adm_id", 501}});
    ASSERT_TRUE(WaitForDelivered(1));
    const auto event = Delivered()[0];
    EXPECT_EQ(event.readerIndex, 2);
    EXPECT_EQ(event.badgeNumber, 4294967301LL);
    EXPECT_EQ(event.eventType, 1);
    EXPECT_EQ(event.eventId, 63);
    EXPECT_EQ(event.eventTime, 1704164645u);

    sim.WaitForRequests("/api/corvanta/activities/batch_processed", 1);
    EXPECT_EQ(MarkedIdLists(), (std::vector<std::string>{"501"}));
    EXPECT_EQ(PendingCount(), 0);
}

TEST_F(ActivitiesTest, BatchLoopFollowsRemainingCountAndMarksInOrder) {
    sim.Call("POST", "/config", {{"batch_size", 2}});
    ConnectQuietly();
    nlohmann::json activities = nlohmann::json::array();
    for (int id : {5, 6, 9, 10, 11}) activities.push_back({{"adm_id", id}, {"reader_external_id", "1:3"}, {"entry_granted", true}});
    AddActivity({{"activities", activities}, {"notify", false}});

    TLYAPI_FetchPendingActivities();
    EXPECT_EQ(Delivered().size(), 5u);
    EXPECT_EQ(MarkedIdLists(), (std::vector<std::string>{"5,6", "9,10", "11"}));
    EXPECT_EQ(sim.Requests("/api/corvanta/pending_activities/1").size(), 3u);
    EXPECT_EQ(LinesWithEvent(LogPath(), "activities.more_remaining").size(), 2u);
    EXPECT_EQ(LinesWithEvent(LogPath(), "activities.batch_complete").at(0)["fields"]["total_processed"], 5);
}

TEST_F(ActivitiesTest, OtherPanelsAndMalformedIdsStayPendingWithoutLooping) {
    sim.Call("POST", "/config", {{"batch_size", 2}});
    ConnectQuietly();
    AddActivity({{"activities",
                  {{{"adm_id", 1}, {"reader_external_id", "12:3"}, {"panel", 1}},
                   {{"adm_id", 2}, {"reader_external_id", "abc"}, {"panel", 1}},
                   {{"adm_id", 3}, {"reader_external_id", "12"}, {"panel", 1}}}},
                 {"notify", false}});
    TLYAPI_FetchPendingActivities();
    EXPECT_TRUE(Delivered().empty());
    EXPECT_TRUE(MarkedIdLists().empty());
    EXPECT_EQ(sim.Requests("/api/corvanta/pending_activities/1").size(), 1u) << "no progress ends the loop";
    EXPECT_EQ(PendingCount(), 3);
    auto mismatch = LinesWithEvent(LogPath(), "activities.panel_mismatch");
    ASSERT_EQ(mismatch.size(), 1u);
    EXPECT_EQ(mismatch[0]["fields"]["expected_panel_id"], 1);
    EXPECT_EQ(mismatch[0]["fields"]["actual_panel_id"], 12);
    EXPECT_EQ(LinesWithEvent(LogPath(), "activities.invalid_reader_external_id").size(), 1u);
    EXPECT_TRUE(HasEvent(LogPath(), "activities.no_progress"));
}

TEST_F(ActivitiesTest, WronglyTypedBatchIsNotMarkedAndIsDeliveredLater) {
    ConnectQuietly();
    for (const nlohmann::json& bad :
         {nlohmann::json{{"badge_no", "4711"}}, nlohmann::json{{"reader_external_id", nullptr}},
          nlohmann::json{{"entry_granted", 1}}, nlohmann::json{{"adm_id", "7"}}}) {
        sim.Call("POST", "/activities/clear");
        nlohmann::json wrong = bad;
        wrong["panel"] = 1;
        if (!wrong.contains("reader_external_id")) wrong["reader_external_id"] = "1:2";
        AddActivity({{"activities", {{{"reader_external_id", "1:2"}, {"entry_granted", true}}, wrong}},
                     {"notify", false}});
        TLYAPI_FetchPendingActivities();
        EXPECT_TRUE(MarkedIdLists().empty()) << bad;
        EXPECT_EQ(PendingCount(), 2) << bad;
    }
    EXPECT_EQ(LinesWithEvent(LogPath(), "activities.parse_failed").size(), 4u);
}

TEST_F(ActivitiesTest, UnparsableResponsesFailTheBatch) {
    ConnectQuietly();
    for (const char* body : {"not json", "[]", R"({"activities":{"a":1}})", R"({"activities":[1]})"}) {
        sim.AddFault("/api/corvanta/pending_activities/1", {{"status", 200}, {"body", body}, {"count", 1}});
        TLYAPI_FetchPendingActivities();
    }
    EXPECT_EQ(LinesWithEvent(LogPath(), "activities.parse_failed").size(), 4u);
    sim.AddFault("/api/corvanta/pending_activities/1", {{"status", 200}, {"body", R"({"activities":null})"}, {"count", 1}});
    TLYAPI_FetchPendingActivities();
    EXPECT_EQ(LinesWithEvent(LogPath(), "activities.parse_failed").size(), 4u) << "null activities is an empty batch";
}

TEST_F(ActivitiesTest, AlarmsCarryTheirTextCutAtTheByteLimit) {
    ConnectQuietly();
    std::string longText = "x";  // so the cut at 2000 bytes splits a three-byte character
    while (longText.size() < 5000) longText += "Ä€";  // two- and three-byte characters
    AddActivity({{"activities",
                  {{{"kind", "alarm"}, {"source_type", 1}, {"badge_no", 4711}, {"reader_external_id", "1:7"},
                    {"door_name", "Gate 2"}, {"timestamp", "2024-05-01T08:30:00"}},
                   {{"kind", "alarm"}, {"source_type", 4}, {"reader_external_id", "1:7"}, {"alarm_full_text", longText}},
                   {{"kind", "alarm"}, {"source_type", 2}, {"reader_external_id", "1:7"}}}},
                 {"notify", false}});
    TLYAPI_FetchPendingActivities();
    auto delivered = Delivered();
    ASSERT_EQ(delivered.size(), 2u);
    EXPECT_EQ(delivered[0].text, L"Muster Alarm: Badge 4711 at Gate 2 (2024-05-01T08:30:00)");
    EXPECT_EQ(delivered[0].eventType, 30);
    EXPECT_EQ(delivered[0].eventId, 2);
    EXPECT_EQ(delivered[1].eventType, 2);
    EXPECT_EQ(delivered[1].eventId, 3);
    EXPECT_EQ(LinesWithEvent(LogPath(), "activities.alarm_processing").at(0)["fields"]["text_length"], 2000);
    EXPECT_EQ(delivered[1].text.back(), L'\xFFFD') << "a character split by the cut becomes a replacement";
    EXPECT_TRUE(HasEvent(LogPath(), "activities.alarm_unknown_source"));
    EXPECT_EQ(PendingCount(), 0) << "an unknown alarm kind is marked and dropped";
}

// The channel's thread reads no message while it runs, so notifications
// overlap a run only when a host thread runs it: they then ask for one more.
TEST_F(ActivitiesTest, NotificationsDuringARunGiveExactlyOneMoreRun) {
    ConnectQuietly();
    ASSERT_EQ(sim.Call("POST", "/wait/ws_clients", {{"count", 1}})["count"], 1);
    AddActivity({{"reader_external_id", "1:2"}, {"entry_granted", true}, {"notify", false}});
    std::thread hostRun;
    {
        tly::test::DeliveryGate gate;
        hostRun = std::thread([] { TLYAPI_FetchPendingActivities(); });
        ASSERT_TRUE(gate.WaitUntilHeld());
        for (int i = 0; i < 2; ++i) {
            sim.Call("POST", "/ws/send", {{"payload", "json"}, {"json", {{"type", "activities_available"}}}});
        }
        ASSERT_TRUE(WaitUntil([&] { return LinesWithEvent(LogPath(), "activities.coalesced").size() == 2; }));
        gate.Release();
    }
    hostRun.join();
    EXPECT_EQ(LinesWithEvent(LogPath(), "activities.fetch_entry").size(), 2u);
    EXPECT_EQ(Delivered().size(), 1u);
    EXPECT_EQ(MarkedIdLists().size(), 1u);
}

TEST_F(ActivitiesTest, HostAndNotificationRunsNeverDeliverTheSameBatchTwice) {
    RegisterCallbacks();
    OpenAndConnect({1});
    nlohmann::json activities = nlohmann::json::array();
    for (int i = 0; i < 30; ++i) activities.push_back({{"reader_external_id", "1:2"}, {"badge_no", i + 1}});
    AddActivity({{"activities", activities}});  // one notification starts a run on the channel's thread
    std::thread host([] {
        for (int i = 0; i < 10; ++i) TLYAPI_FetchPendingActivities();
    });
    for (int i = 0; i < 10; ++i) TLYAPI_FetchPendingActivities();
    host.join();
    ASSERT_TRUE(WaitUntil([&] { return PendingCount() == 0; }));
    EXPECT_EQ(Delivered().size(), 30u);
}

TEST_F(ActivitiesTest, EveryActivityIsDeliveredAtLeastOnceDespiteFaults) {
    sim.Call("POST", "/config", {{"batch_size", 3}});
    ConnectQuietly();
    nlohmann::json activities = nlohmann::json::array();
    for (int i = 0; i < 20; ++i) activities.push_back({{"reader_external_id", "1:2"}, {"badge_no", 1000 + i}});
    AddActivity({{"activities", activities}, {"notify", false}});
    sim.AddFault("/api/corvanta/pending_activities/1", {{"status", 500}, {"count", 2}});
    sim.AddFault("/api/corvanta/activities/batch_processed", {{"status", 503}, {"count", 3}});
    sim.AddFault("/api/corvanta/activities/batch_processed", {{"action", "drop_mid_body"}, {"count", 1}});

    for (int run = 0; run < 30 && PendingCount() > 0; ++run) TLYAPI_FetchPendingActivities();

    EXPECT_EQ(PendingCount(), 0);
    std::set<std::int64_t> distinct;
    for (const auto& event : Delivered()) distinct.insert(event.badgeNumber);
    EXPECT_EQ(distinct.size(), 20u) << "every activity reached a call-back";
    std::printf("at-least-once: %zu deliveries for 20 activities (%zu duplicates)\n", Delivered().size(),
                Delivered().size() - distinct.size());
}

TEST_F(ActivitiesTest, NothingIsFetchedWithoutCallbacksOrConnection) {
    ASSERT_TRUE(TLYAPI_Open(1));
    TLYAPI_FetchPendingActivities();
    EXPECT_TRUE(HasEvent(LogPath(), "activities.no_callback"));
    RegisterCallbacks(false, true);
    TLYAPI_FetchPendingActivities();
    EXPECT_TRUE(HasEvent(LogPath(), "activities.not_connected"));
    EXPECT_TRUE(sim.Requests("/api/corvanta/pending_activities/1").empty());
}
