// Pending activity processing against the simulator: the road of one badge
// swipe, the batch loop, coalescing of notifications, strict member types, and
// delivery at least once under injected faults.

#include "api/DeliveryJournal.h"
#include "api/DeliveryPanel.h"
#include "api/StatusFile.h"
#include "api/TLYApi.h"
#include "api/TLYApiImpl.h"
#include "logging/RepeatedLines.h"
#include "tests/support/ApiFixture.h"
#include "tests/support/LogReader.h"
#include "tests/support/ManualClock.h"
#include "tests/support/RecordedEventLog.h"
#include "EventMessages.h"

#include <algorithm>
#include <atomic>
#include <new>
#include <set>
#include <stdexcept>
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
    // A host thread's run holds a call-back while another thread closes the
    // panel; true when the close returned within waitMs, before the
    // call-back was let go. Both threads have ended when it returns.
    bool CloseWhileACallbackIsHeld(std::int32_t panel, int waitMs) {
        std::atomic<bool> closed{false};
        std::thread hostRun;
        std::thread closer;
        bool returnedWhileHeld = false;
        {
            tly::test::DeliveryGate gate;
            hostRun = std::thread([] { TLYAPI_FetchPendingActivities(); });
            if (gate.WaitUntilHeld()) {
                closer = std::thread([&] {
                    TLYAPI_Close(panel);
                    closed = true;
                });
                returnedWhileHeld = WaitUntil([&] { return closed.load(); }, waitMs);
            } else {
                ADD_FAILURE() << "no call-back was held";
            }
            gate.Release();
        }
        if (closer.joinable()) closer.join();
        hostRun.join();
        return returnedWhileHeld;
    }
};

// What the activity worker's test hook does at each of its passes, in turn;
// past the end of the list, nothing.
enum class PassFault { None, BadAlloc, NotAStdException, RuntimeError };
std::vector<PassFault> g_passFaults;  // set before the hook is installed
std::atomic<size_t> g_workerPasses{0};

void FaultingWorkerPass() {
    const size_t pass = g_workerPasses.fetch_add(1);
    switch (pass < g_passFaults.size() ? g_passFaults[pass] : PassFault::None) {
    case PassFault::BadAlloc:
        throw std::bad_alloc();
    case PassFault::NotAStdException:
        throw 42;
    case PassFault::RuntimeError:
        throw std::runtime_error("pass broke after a success");
    case PassFault::None:
        break;
    }
}

// Installs the worker's pass hook for a test's lifetime.
class WorkerPassFaults {
public:
    explicit WorkerPassFaults(std::vector<PassFault> faults) {
        g_passFaults = std::move(faults);
        g_workerPasses = 0;
        TLYApiImpl::Instance().SetActivityWorkerPassHookForTesting(&FaultingWorkerPass);
    }
    ~WorkerPassFaults() { TLYApiImpl::Instance().SetActivityWorkerPassHookForTesting(nullptr); }
    WorkerPassFaults(const WorkerPassFaults&) = delete;
    WorkerPassFaults& operator=(const WorkerPassFaults&) = delete;
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

// A malformed activity is set aside; its batch-mates reach the host once over
// any number of runs, and ids are never converted into other ids.
TEST_F(ActivitiesTest, MalformedActivityIsIsolatedAndNeverMarked) {
    sim.Call("POST", "/config", {{"batch_size", 100}});
    ConnectQuietly();
    const char* poisons[] = {
        R"({"adm_id":4294967297,"reader_external_id":"1:2"})",  // would wrap to 1
        R"({"adm_id":true,"reader_external_id":"1:2"})",
        R"({"adm_id":7.5,"reader_external_id":"1:2"})",
        R"({"adm_id":"8","reader_external_id":"1:2"})",
        R"({"adm_id":9,"badge_no":1.5,"reader_external_id":"1:2"})",
        R"({"adm_id":10,"badge_no":18446744073709551615,"reader_external_id":"1:2"})",
        R"({"adm_id":11,"badge_no":"4711","reader_external_id":"1:2"})",
        R"({"adm_id":12,"reader_external_id":null})",
        R"({"adm_id":13,"entry_granted":1,"reader_external_id":"1:2"})",
        R"({"adm_id":14,"activity_type":3,"source_type":4.5,"reader_external_id":"1:2"})",
        R"("not an object")",
    };
    nlohmann::json batch = nlohmann::json::array();
    for (const char* poison : poisons) {
        AddActivity({{"raw", poison}, {"panel", 1}, {"adm_id", nullptr}, {"notify", false}});
        AddActivity({{"adm_id", 100 + static_cast<int>(batch.size())}, {"reader_external_id", "1:2"},
                     {"notify", false}});
        batch.push_back(100 + static_cast<int>(batch.size()));
    }
    for (int run = 0; run < 4; ++run) TLYAPI_FetchPendingActivities();

    EXPECT_EQ(Delivered().size(), batch.size()) << "each batch-mate once";
    std::set<std::string> marked;
    for (const std::string& list : MarkedIdLists()) {
        for (size_t start = 0; start <= list.size();) {
            const size_t comma = std::min(list.find(',', start), list.size());
            EXPECT_TRUE(marked.insert(list.substr(start, comma - start)).second) << "marked twice: " << list;
            start = comma + 1;
        }
    }
    std::set<std::string> expected;
    for (const auto& id : batch) expected.insert(std::to_string(id.get<int>()));
    EXPECT_EQ(marked, expected) << "no poison id, and no id it would wrap into, is ever marked";
    EXPECT_EQ(PendingCount(), static_cast<int>(std::size(poisons)));
    auto logged = LinesWithEvent(LogPath(), "activities.malformed");
    EXPECT_EQ(logged.size(), std::size(poisons)) << "once per activity, not once per run";
    EXPECT_EQ(logged.at(0)["level"], "error");
    EXPECT_FALSE(logged.at(0)["fields"].contains("adm_id")) << "an id out of range is not readable";
    EXPECT_EQ(logged.at(4)["fields"]["adm_id"], 9);
    EXPECT_FALSE(HasEvent(LogPath(), "activities.parse_failed"));
}

// Only a response that is not JSON, or not a batch, fails whole; an activity
// nested too deeply is set aside alone.
TEST_F(ActivitiesTest, UnparsableResponsesFailTheBatch) {
    ConnectQuietly();
    std::string deep(100, '[');
    deep = R"({"activities":)" + deep + std::string(100, ']') + "}";
    for (const std::string& body : {std::string("not json"), std::string("[]"), std::string(R"({"activities":{"a":1}})"), deep}) {
        sim.AddFault("/api/corvanta/pending_activities/1", {{"status", 200}, {"body", body}, {"count", 1}});
        TLYAPI_FetchPendingActivities();
    }
    EXPECT_EQ(LinesWithEvent(LogPath(), "activities.parse_failed").size(), 3u);
    EXPECT_EQ(LinesWithEvent(LogPath(), "activities.malformed").size(), 1u);
    sim.AddFault("/api/corvanta/pending_activities/1", {{"status", 200}, {"body", R"({"activities":null})"}, {"count", 1}});
    TLYAPI_FetchPendingActivities();
    EXPECT_EQ(LinesWithEvent(LogPath(), "activities.parse_failed").size(), 3u) << "null activities is an empty batch";
}

// While the server keeps failing, each panel's fetch failure is written in
// full once, then only summarised once a minute; a fetch that succeeds ends
// that panel's run alone, and its next failure is written in full again.
TEST_F(ActivitiesTest, RepeatedFetchFailuresAreWrittenOncePerPanelThenSummarisedUntilAFetchSucceeds) {
    tly::test::ManualClock clock;
    ConnectQuietly({1, 7});
    const auto lines = [this](const char* event, const char* level, std::int32_t panel) {
        size_t count = 0;
        for (const auto& line : LinesWithEvent(LogPath(), event)) {
            count += line["level"] == level && line["fields"].value("panel_id", 0) == panel;
        }
        return count;
    };
    const nlohmann::json failing = {{"match", "prefix"}, {"status", 503}, {"count", 0}};
    sim.AddFault("/api/corvanta/pending_activities/", failing);
    for (int poll = 0; poll < 30; ++poll) {
        TLYAPI_FetchPendingActivities();
        clock.Advance(1000);
    }
    for (const std::int32_t panel : {1, 7}) {
        SCOPED_TRACE(panel);
        EXPECT_EQ(lines("activities.fetch_failed", "error", panel), 1u);
        EXPECT_EQ(lines("activities.fetch_failed", "debug", panel), 29u) << "every repeat stays at debug";
        EXPECT_EQ(lines("still_failing", "error", panel), 0u);
    }
    clock.Advance(30000);
    TLYAPI_FetchPendingActivities();
    std::vector<nlohmann::json> summaries;  // the transport's failures have their own
    for (const auto& line : LinesWithEvent(LogPath(), "still_failing")) {
        if (line["fields"]["repeated_event"] == "activities.fetch_failed") summaries.push_back(line);
    }
    ASSERT_EQ(summaries.size(), 2u) << "one a minute per panel";
    EXPECT_EQ(summaries[0]["fields"]["count"], 31);
    EXPECT_EQ(summaries[0]["fields"]["repeated_event"], "activities.fetch_failed");
    EXPECT_EQ(summaries[0]["message"].get<std::string>().rfind("still failing since ", 0), 0u);

    // Panel 1's fetch succeeds; panel 7's keeps failing.
    sim.Call("POST", "/faults/clear");
    sim.AddFault("/api/corvanta/pending_activities/7", failing);
    TLYAPI_FetchPendingActivities();
    sim.Call("POST", "/faults/clear");
    sim.AddFault("/api/corvanta/pending_activities/", failing);
    TLYAPI_FetchPendingActivities();
    EXPECT_EQ(lines("activities.fetch_failed", "error", 1), 2u) << "written in full again after a success";
    EXPECT_EQ(lines("activities.fetch_failed", "error", 7), 1u);
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

// Notifications that come while a host thread's run delivers ask for one
// more run, which that host thread makes before it returns.
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

TEST_F(ActivitiesTest, EveryActivityIsDeliveredExactlyOnceDespiteFaults) {
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
    EXPECT_EQ(Delivered().size(), 20u) << "and none twice, although marks failed";
    EXPECT_TRUE(HasEvent(LogPath(), "activities.redelivery_suppressed"));
    // Only a successful mark takes an entry out: the three whose mark answer
    // was cut (the server had marked them) stay, bounded, and harm nothing.
    EXPECT_EQ(TLYApiImpl::Instance().LedgerForTesting().Size(1), 3u) << "entries go once their mark succeeds";
}

// A call-back that finds no translator for the panel refuses: the activity is
// not marked, and comes again once someone takes it.
TEST_F(ActivitiesTest, RefusedDeliveryStaysPending) {
    ConnectQuietly();
    TLYAPI_SetBadgeActivityCallback([](std::int32_t, std::int64_t, std::int32_t, std::int32_t, std::uint32_t) {
        RefuseCurrentDelivery();
    });
    AddActivity({{"reader_external_id", "1:2"}, {"adm_id", 77}, {"notify", false}});
    TLYAPI_FetchPendingActivities();
    TLYAPI_FetchPendingActivities();
    EXPECT_TRUE(MarkedIdLists().empty());
    EXPECT_EQ(LinesWithEvent(LogPath(), "activities.delivery_refused").size(), 1u) << "once per panel and id";
    EXPECT_EQ(TLYApiImpl::Instance().StatusForTesting().panels.at(0).refused, 2u) << "each refusal counts";
    RegisterCallbacks();
    TLYAPI_FetchPendingActivities();
    EXPECT_EQ(Delivered().size(), 1u);
    EXPECT_EQ(MarkedIdLists(), (std::vector<std::string>{"77"}));
    const PanelStatus status = TLYApiImpl::Instance().StatusForTesting().panels.at(0);
    EXPECT_EQ(status.deliveredToday, 1u);
    EXPECT_EQ(status.markedToday, 1u);
    EXPECT_EQ(status.lastActivityId, 77);
    EXPECT_EQ(status.takenUnmarked, 0u);
}

// A batch of any size is marked in requests of bounded size (the ids travel in
// the URL); an activity listed again after its mark succeeded (a lagging copy
// of the list) is marked again, not delivered again.
TEST_F(ActivitiesTest, MarksGoInBoundedRequestsAndLaggingListsAreNotDeliveredAgain) {
    sim.Call("POST", "/config", {{"batch_size", 5000}});
    ConnectQuietly();
    nlohmann::json activities = nlohmann::json::array();
    for (int i = 0; i < 5000; ++i) {
        activities.push_back({{"adm_id", 1000000000 + i}, {"reader_external_id", "1:2"}, {"badge_no", i}});
    }
    AddActivity({{"activities", activities}, {"notify", false}});
    sim.AddFault("/api/corvanta/activities/batch_processed", {{"status", 503}, {"count", 1}});
    TLYAPI_FetchPendingActivities();
    EXPECT_EQ(Delivered().size(), 5000u);
    const auto marks = MarkedIdLists();
    ASSERT_EQ(marks.size(), 50u) << "one request per 100 ids, each on its own";
    for (const std::string& ids : marks) EXPECT_LE(ids.size(), 1100u);
    EXPECT_EQ(PendingCount(), 100) << "the hundred of the failed request stay pending";
    PanelStatus status = TLYApiImpl::Instance().StatusForTesting().panels.at(0);
    EXPECT_EQ(status.deliveredToday, 5000u);
    EXPECT_EQ(status.markedToday, 4900u);
    EXPECT_EQ(status.takenUnmarked, 100u) << "the journal's ids taken and not marked";

    TLYAPI_FetchPendingActivities();
    EXPECT_EQ(PendingCount(), 0);
    EXPECT_EQ(Delivered().size(), 5000u) << "marked after the failed request without a second delivery";
    status = TLYApiImpl::Instance().StatusForTesting().panels.at(0);
    EXPECT_EQ(status.deliveredToday, 5000u) << "a mark without a delivery is no delivery";
    EXPECT_EQ(status.markedToday, 5000u);
    EXPECT_EQ(status.takenUnmarked, 0u);

    AddActivity({{"adm_id", 1000000007}, {"reader_external_id", "1:2"}, {"badge_no", 7}, {"notify", false}});
    TLYAPI_FetchPendingActivities();
    EXPECT_EQ(Delivered().size(), 5000u) << "listed again after its mark";
    EXPECT_EQ(PendingCount(), 0);
}

// A host asks for each panel's status every second, whether or not anything
// waits. The answer never waits for a run: a status request only asks the
// worker for one when its panel's pending list is due. With the event channel
// up that is a safety net for a lost notification, once a second per panel;
// with the channel down, at every status request. The clock stands still
// unless a test moves it.
namespace {

void StatusRequest(std::int32_t panel) {
    ReaderStatusList list{nullptr, 0};
    TLYAPI_GetReadersStatus3(panel, &list);
    delete[] list.items;
}

constexpr std::uint32_t kDueAfterMs = ActivityPump::kSafetyNetIntervalMs - ActivityPump::kSafetyNetSlackMs;

}  // namespace

TEST_F(ActivitiesTest, AStatusRequestReturnsWhileTheRunItAskedForHoldsACallBack) {
    tly::test::ManualClock clock;
    ConnectQuietly();
    clock.Advance(kDueAfterMs);
    AddActivity({{"reader_external_id", "1:2"}, {"adm_id", 61}, {"notify", false}});
    tly::test::DeliveryGate held;
    std::atomic<bool> answered{false};
    std::thread host([&] {
        StatusRequest(1);
        answered = true;
    });
    ASSERT_TRUE(held.WaitUntilHeld()) << "the run the status request asked for";
    EXPECT_TRUE(WaitUntil([&] { return answered.load(); })) << "answered while the call-back is held";
    held.Release();
    host.join();
    ASSERT_TRUE(WaitUntil([&] { return PendingCount() == 0; }));
}

TEST_F(ActivitiesTest, WithTheChannelUpAStatusRequestAsksForItsPanelsListOnceASecond) {
    tly::test::ManualClock clock;
    std::vector<std::int32_t> panels;
    for (std::int32_t panel = 1; panel <= 32; ++panel) panels.push_back(panel);
    ConnectQuietly(panels);
    ASSERT_EQ(sim.Call("POST", "/wait/ws_clients", {{"count", 1}})["count"], 1);
    sim.Call("POST", "/requests/clear");
    const auto lists = [&](std::int32_t panel) {
        return sim.Requests("/api/corvanta/pending_activities/" + std::to_string(panel)).size();
    };
    constexpr size_t kSeconds = 4;
    for (size_t second = 1; second <= kSeconds; ++second) {
        clock.Advance(1000);
        for (const std::int32_t panel : panels) StatusRequest(panel);
        for (const std::int32_t panel : panels) StatusRequest(panel);  // a second request within the second
        ASSERT_TRUE(WaitUntil([&] { return lists(32) == second && lists(1) == second; }));
    }
    // A swipe whose notification is lost comes at the first due status request.
    AddActivity({{"reader_external_id", "1:2"}, {"adm_id", 62}, {"notify", false}});
    clock.Advance(kDueAfterMs - 1);
    StatusRequest(1);
    clock.Advance(1);
    StatusRequest(1);
    ASSERT_TRUE(WaitForDelivered(1));
    ASSERT_TRUE(WaitUntil([&] { return PendingCount() == 0; }));
    for (const std::int32_t panel : panels) {
        EXPECT_EQ(lists(panel), panel == 1 ? kSeconds + 1 : kSeconds) << "panel " << panel;
    }
}

TEST_F(ActivitiesTest, WithTheChannelDownEveryStatusRequestCollectsItsPanelsActivities) {
    tly::test::ManualClock clock;
    sim.Call("POST", "/ws/refuse", {{"status", 401}, {"count", 10}});
    ConnectQuietly();
    for (std::int32_t adm = 1; adm <= 3; ++adm) {
        AddActivity({{"reader_external_id", "1:2"}, {"adm_id", 70 + adm}, {"notify", false}});
        StatusRequest(1);  // at the same instant as the last
        ASSERT_TRUE(WaitForDelivered(static_cast<size_t>(adm)));
    }
    ASSERT_TRUE(WaitUntil([&] { return PendingCount() == 0; }));
}

// A host call spends at most its time budget here, whatever the backlog: the
// activity worker delivers the rest.
TEST_F(ActivitiesTest, HostCallStopsAtItsBudgetAndTheWorkerDeliversTheRest) {
    sim.Call("POST", "/config", {{"batch_size", 2}});
    ConnectQuietly();
    static tly::test::ManualClock* clock = nullptr;
    static std::atomic<int> delivered{0};
    tly::test::ManualClock manual;
    clock = &manual;
    delivered = 0;
    TLYAPI_SetBadgeActivityCallback([](std::int32_t, std::int64_t, std::int32_t, std::int32_t, std::uint32_t) {
        clock->Advance(3000);  // each delivery takes the host three seconds
        ++delivered;
    });
    nlohmann::json activities = nlohmann::json::array();
    for (int i = 0; i < 10; ++i) activities.push_back({{"reader_external_id", "1:2"}, {"badge_no", i}});
    AddActivity({{"activities", activities}, {"notify", false}});

    TLYAPI_FetchPendingActivities();
    EXPECT_EQ(delivered.load(), 4) << "two batches of six seconds each: the second passes the budget";
    ASSERT_TRUE(WaitUntil([&] { return PendingCount() == 0; }, 30000));
    EXPECT_EQ(delivered.load(), 10);
}

// A close returns within its time budget even while a call-back blocks; the
// run under way then marks through a transport still open, and closes it.
TEST_F(ActivitiesTest, CloseReturnsDuringABlockedCallbackAndTheRunStillMarks) {
    ConnectQuietly();
    AddActivity({{"reader_external_id", "1:2"}, {"adm_id", 31}, {"notify", false}});
    EXPECT_TRUE(CloseWhileACallbackIsHeld(1, 30000)) << "close waited for the call-back";
    EXPECT_EQ(MarkedIdLists(), (std::vector<std::string>{"31"}));
    EXPECT_FALSE(HasEvent(LogPath(), "activities.batch_mark_failed"));
    EXPECT_TRUE(HasEvent(LogPath(), "close.run_still_under_way"));
    TLYAPI_FetchPendingActivities();
    EXPECT_TRUE(HasEvent(LogPath(), "activities.not_connected")) << "the run closed the transport when it ended";
}

// Only open panels are fetched for; a close waits for a delivery under way to
// its panel, so the delivery reaches it before the close returns.
TEST_F(ActivitiesTest, ClosedPanelsAreNotFetchedAndCloseWaitsForADelivery) {
    ConnectQuietly({1, 2});
    AddActivity({{"reader_external_id", "2:1"}, {"adm_id", 21}, {"notify", false}});
    EXPECT_FALSE(CloseWhileACallbackIsHeld(2, 300)) << "close returned during the delivery";
    EXPECT_EQ(Delivered().size(), 1u);
    EXPECT_EQ(MarkedIdLists(), (std::vector<std::string>{"21"}));

    AddActivity({{"reader_external_id", "2:1"}, {"adm_id", 22}, {"notify", false}});
    TLYAPI_FetchPendingActivities();
    EXPECT_EQ(sim.Requests("/api/corvanta/pending_activities/2").size(), 1u) << "panel 2 is closed";
    TLYApiImpl::Instance().MarkReaderOnline("3:1");
    EXPECT_EQ(TLYApiImpl::Instance().PanelIdsSnapshot(), (std::vector<std::int32_t>{1}))
        << "a reader change never opens a panel";
}

// A storm of notifications never keeps a host call inside the module: the host
// makes its own run and one more, and the worker serves the rest.
TEST_F(ActivitiesTest, HostCallReturnsDuringANotificationStorm) {
    ConnectQuietly();
    AddActivity({{"reader_external_id", "1:2"}, {"notify", false}});
    std::atomic<bool> hostDone{false};
    std::atomic<int> notifications{0};
    constexpr int kMostNotifications = 200000;
    std::thread storm([&] {
        while (!hostDone && notifications < kMostNotifications) {
            TLYApiImpl::Instance().OnActivitiesAvailable();
            ++notifications;
        }
    });
    TLYAPI_FetchPendingActivities();
    hostDone = true;
    storm.join();
    EXPECT_LT(notifications.load(), kMostNotifications);
    ASSERT_TRUE(WaitUntil([&] { return PendingCount() == 0; }));
    EXPECT_EQ(Delivered().size(), 1u);
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

// A pass of the activity worker that throws (memory running out in a huge
// answer, anything else) is logged, and the worker serves the next
// notification. Passes that keep failing are written in full once, then at
// debug with a summary a minute; a pass that succeeds ends that run.
TEST_F(ActivitiesTest, AWorkerPassThatThrowsIsLoggedAndTheNextNotificationIsServed) {
    ConnectQuietly();
    tly::test::ManualClock clock;  // the repeated lines' minute passes when the test says so
    const WorkerPassFaults faults({PassFault::BadAlloc, PassFault::NotAStdException, PassFault::BadAlloc,
                                   PassFault::None, PassFault::RuntimeError});
    const auto fetches = [&] { return sim.Requests("/api/corvanta/pending_activities/1").size(); };
    const auto failures = [&] { return LinesWithEvent(LogPath(), "activities.worker_pass_failed"); };
    const size_t fetchesBefore = fetches();
    AddActivity({{"reader_external_id", "1:2"}, {"adm_id", 91}, {"badge_no", 9100}, {"notify", false}});

    // The hook throws with the gate held and the request taken, before the fetch.
    TLYApiImpl::Instance().OnActivitiesAvailable();
    ASSERT_TRUE(WaitUntil([&] { return failures().size() == 1; }));
    TLYApiImpl::Instance().OnActivitiesAvailable();
    ASSERT_TRUE(WaitUntil([&] { return failures().size() == 2; }));
    clock.Advance(tly::kRepeatSummaryIntervalMs);
    TLYApiImpl::Instance().OnActivitiesAvailable();
    ASSERT_TRUE(WaitUntil([&] { return failures().size() == 3; }));
    EXPECT_EQ(g_workerPasses.load(), 3u) << "one pass per notification: no retry loop of its own";
    EXPECT_EQ(fetches(), fetchesBefore);
    EXPECT_TRUE(Delivered().empty());

    auto lines = failures();
    EXPECT_EQ(lines[0]["level"], "error");
    EXPECT_EQ(lines[0]["component"], "tly_api");
    EXPECT_EQ(lines[0]["message"], "Activity worker pass failed; the worker waits for the next request");
    EXPECT_EQ(lines[0]["fields"], (nlohmann::json{{"exception", "std::bad_alloc"}}));
    EXPECT_EQ(lines[1]["level"], "debug") << "a repeat within the minute";
    EXPECT_EQ(lines[1]["fields"], (nlohmann::json{{"exception", "unknown exception (not a std::exception)"}}));
    EXPECT_EQ(lines[2]["level"], "debug");
    const auto summary = LinesWithEvent(LogPath(), "still_failing");
    ASSERT_EQ(summary.size(), 1u);
    EXPECT_EQ(summary[0]["level"], "error");
    EXPECT_EQ(summary[0]["component"], "tly_api");
    EXPECT_EQ(summary[0]["fields"]["repeated_event"], "activities.worker_pass_failed");
    EXPECT_EQ(summary[0]["fields"]["count"], 3);

    // The next notification is served: a fetch, the delivery, the mark.
    TLYApiImpl::Instance().OnActivitiesAvailable();
    ASSERT_TRUE(WaitForDelivered(1));
    EXPECT_EQ(Delivered()[0].badgeNumber, 9100);
    ASSERT_TRUE(WaitUntil([&] { return PendingCount() == 0; }));
    EXPECT_EQ(fetches(), fetchesBefore + 1);
    EXPECT_EQ(MarkedIdLists(), (std::vector<std::string>{"91"}));

    // After a pass that succeeded, a failure is written in full again.
    TLYApiImpl::Instance().OnActivitiesAvailable();
    ASSERT_TRUE(WaitUntil([&] { return failures().size() == 4; }));
    lines = failures();
    EXPECT_EQ(lines[3]["level"], "error");
    EXPECT_EQ(lines[3]["fields"]["exception"], "pass broke after a success");
    AddActivity({{"reader_external_id", "1:2"}, {"adm_id", 92}, {"badge_no", 9200}, {"notify", false}});
    TLYApiImpl::Instance().OnActivitiesAvailable();
    ASSERT_TRUE(WaitForDelivered(2));
    EXPECT_EQ(Delivered()[1].badgeNumber, 9200);
}

// A worker whose thread has ended (its wait failed) is started again by the
// next call that needs it, a host's status request or a notification, which
// says so; each time the new worker delivers.
TEST_F(ActivitiesTest, AnEndedWorkerIsStartedAgainByTheNextCallThatNeedsIt) {
    ConnectQuietly();
    tly::test::ManualClock clock;
    const auto status = [] { StatusRequest(1); };
    const auto restarts = [&] { return LinesWithEvent(LogPath(), "activities.worker_restarted"); };
    AddActivity({{"reader_external_id", "1:2"}, {"adm_id", 81}, {"badge_no", 8100}, {"notify", false}});
    TLYApiImpl::Instance().OnActivitiesAvailable();  // starts the worker
    ASSERT_TRUE(WaitForDelivered(1));
    ASSERT_TRUE(WaitUntil([&] { return PendingCount() == 0; }));

    ASSERT_TRUE(TLYApiImpl::Instance().EndActivityWorkerForTesting());
    status();  // the list was asked for at this instant: not due
    EXPECT_TRUE(restarts().empty()) << "a call that does not need the worker leaves it";
    AddActivity({{"reader_external_id", "1:2"}, {"adm_id", 82}, {"badge_no", 8200}, {"notify", false}});
    clock.Advance(ActivityPump::kSafetyNetIntervalMs);
    status();  // due: left to the worker, which is started again
    ASSERT_EQ(restarts().size(), 1u) << "written by the call that started it";
    ASSERT_TRUE(WaitForDelivered(2));
    EXPECT_EQ(Delivered()[1].badgeNumber, 8200);
    ASSERT_TRUE(WaitUntil([&] { return PendingCount() == 0; }));

    ASSERT_TRUE(TLYApiImpl::Instance().EndActivityWorkerForTesting());
    AddActivity({{"reader_external_id", "1:2"}, {"adm_id", 83}, {"badge_no", 8300}, {"notify", false}});
    TLYApiImpl::Instance().OnActivitiesAvailable();
    ASSERT_TRUE(WaitForDelivered(3));
    EXPECT_EQ(Delivered()[2].badgeNumber, 8300);

    const auto lines = restarts();
    ASSERT_EQ(lines.size(), 2u);
    for (const auto& line : lines) {
        // In full both times: the first new worker's pass that succeeded ended the run.
        EXPECT_EQ(line["level"], "warn");
        EXPECT_EQ(line["component"], "tly_api");
        EXPECT_EQ(line["message"], "The activity worker's thread had ended; started it again");
        EXPECT_EQ(line["fields"], (nlohmann::json{{"thread", "activity_worker"}}));
    }
    EXPECT_FALSE(HasEvent(LogPath(), "activities.worker_start_failed"));
}

// A pending-activities answer that begins with a UTF-8 byte order mark is
// read as any other: by the quick reader, and by the document reader when the
// batch needs it (an escape in a string).
TEST_F(ActivitiesTest, AnAnswerBeginningWithAByteOrderMarkIsDelivered) {
    ConnectQuietly();
    const std::string bom = "\xEF\xBB\xBF";
    AddActivity({{"reader_external_id", "1:2"}, {"adm_id", 601}, {"badge_no", 4711}, {"notify", false}});
    AddActivity({{"reader_external_id", "1:2"}, {"adm_id", 602}, {"badge_no", 4712}, {"notify", false}});
    sim.AddFault("/api/corvanta/pending_activities/1",
                 {{"status", 200},
                  {"body", bom + R"({"activities":[{"adm_id":601,"reader_external_id":"1:2","badge_no":4711,)"
                                 R"("entry_granted":true}],"remaining_count":0})"},
                  {"count", 1}});
    TLYAPI_FetchPendingActivities();
    ASSERT_EQ(Delivered().size(), 1u);
    EXPECT_EQ(Delivered()[0].badgeNumber, 4711);

    sim.AddFault("/api/corvanta/pending_activities/1",
                 {{"status", 200},
                  {"body", bom + R"({"activities":[{"adm_id":602,"reader_external_id":"1:2","badge_no":4712,)"
                                 R"("entry_granted":true,"door_name":"Gate \"A\""}],"remaining_count":0})"},
                  {"count", 1}});
    TLYAPI_FetchPendingActivities();
    ASSERT_EQ(Delivered().size(), 2u);
    EXPECT_EQ(Delivered()[1].badgeNumber, 4712);
    EXPECT_EQ(MarkedIdLists(), (std::vector<std::string>{"601", "602"}));
    EXPECT_EQ(PendingCount(), 0);
    EXPECT_FALSE(HasEvent(LogPath(), "activities.parse_failed"));
}

// A host that starts while the one before it still ends finds the journal
// owned: it delivers nothing (and says so, at error once a minute has passed)
// until the journal is free, then takes it over with what the host before
// took and delivers only what that host did not.
TEST_F(ActivitiesTest, AHostStartingWhileThePreviousOneEndsWaitsForTheJournal) {
    tly::test::ManualClock clock;
    DeliveryJournal previous;
    ASSERT_TRUE(previous.Open(dir.Path()));
    previous.BeginDelivery(1, 1001, 7, "{}");
    previous.EndDelivery(true);  // delivered by the host before; its mark never made

    ConnectQuietly();
    AddActivity({{"reader_external_id", "1:2"}, {"adm_id", 1001}, {"notify", false}});
    AddActivity({{"reader_external_id", "1:2"}, {"adm_id", 1002}, {"notify", false}});
    TLYAPI_FetchPendingActivities();
    EXPECT_TRUE(Delivered().empty());
    EXPECT_TRUE(MarkedIdLists().empty());
    const auto inUse = LinesWithEvent(LogPath(), "activities.journal_in_use");
    ASSERT_EQ(inUse.size(), 1u);
    EXPECT_EQ(inUse[0]["fields"]["holder_process_id"], ::GetCurrentProcessId()) << "the holder wrote its id";

    clock.Advance(61000);
    TLYAPI_FetchPendingActivities();
    EXPECT_TRUE(Delivered().empty());
    const auto stillHeld = LinesWithEvent(LogPath(), "activities.journal_still_in_use");
    ASSERT_EQ(stillHeld.size(), 1u);
    EXPECT_EQ(stillHeld[0]["level"], "error");
    EXPECT_EQ(LinesWithEvent(LogPath(), "activities.journal_in_use").size(), 1u) << "warned once";

    previous.Close();
    clock.Advance(2000);
    TLYAPI_FetchPendingActivities();
    ASSERT_EQ(Delivered().size(), 1u) << "only what the host before did not take";
    EXPECT_TRUE(HasEvent(LogPath(), "activities.journal_taken_over"));
    ASSERT_TRUE(WaitUntil([&] { return PendingCount() == 0; }));
    std::set<std::string> marked;
    for (const std::string& list : MarkedIdLists()) marked.insert(list);
    EXPECT_TRUE(marked.count("1001") || marked.count("1001,1002") || marked.count("1002,1001"));
}

// With marks failing, what the host took piles up; at the journal's bound a
// panel stops being handed activities (better late than twice) and says so
// once, and once marks succeed again its taken ids are marked, room is made
// and the rest flows.
TEST_F(ActivitiesTest, AFullJournalHoldsDeliveryUntilMarksMakeRoom) {
    struct Bound {
        Bound() { TLYApiImpl::Instance().SetMostUnmarkedForTesting(3); }
        ~Bound() { TLYApiImpl::Instance().SetMostUnmarkedForTesting(journal::kMostTakenSlots); }
    } bound;
    tly::test::RecordedEventLog events;
    ConnectQuietly();
    for (int id = 701; id <= 705; ++id) {
        AddActivity({{"reader_external_id", "1:2"}, {"adm_id", id}, {"badge_no", id}, {"notify", false}});
    }
    sim.AddFault("/api/corvanta/activities/batch_processed", {{"status", 503}, {"count", 1000}});
    TLYAPI_FetchPendingActivities();
    TLYAPI_FetchPendingActivities();
    EXPECT_EQ(Delivered().size(), 3u);
    const auto full = LinesWithEvent(LogPath(), "activities.journal_full");
    ASSERT_EQ(full.size(), 1u) << "said once while it lasts";
    EXPECT_EQ(full[0]["level"], "error");
    EXPECT_EQ(full[0]["fields"]["panel_id"], 1);
    EXPECT_EQ(full[0]["fields"]["unmarked"], 3);
    const auto raised = events.WithId(TLY_EVENT_JOURNAL_FULL);
    ASSERT_EQ(raised.size(), 1u);
    EXPECT_EQ(raised[0].inserts, (std::vector<std::string>{"1", full[0]["fields"]["reason"].get<std::string>()}));
    EXPECT_EQ(PendingCount(), 5);

    sim.Call("POST", "/faults/clear");
    TLYAPI_FetchPendingActivities();
    TLYAPI_FetchPendingActivities();
    ASSERT_TRUE(WaitUntil([&] { return PendingCount() == 0; }));
    ASSERT_EQ(Delivered().size(), 5u) << "each once";
    std::set<std::int64_t> badges;
    for (const auto& delivered : Delivered()) badges.insert(delivered.badgeNumber);
    EXPECT_EQ(badges.size(), 5u);
    EXPECT_EQ(LinesWithEvent(LogPath(), "activities.journal_room").size(), 1u);
    EXPECT_EQ(TLYApiImpl::Instance().LedgerForTesting().TotalSize(), 0u);
}

// A mark that succeeded on the server but whose answer was lost leaves ids
// taken that the server never lists again: they are marked again once the
// panel's list is empty, so they do not hold room in the journal for ever.
TEST_F(ActivitiesTest, TakenIdsTheServerNoLongerListsAreMarkedAgain) {
    tly::test::ManualClock clock;
    {
        DeliveryJournal previous;  // the host before: its mark went through, the answer did not
        ASSERT_TRUE(previous.Open(dir.Path()));
        previous.BeginDelivery(1, 801, 7, "{}");
        previous.EndDelivery(true);
    }
    ConnectQuietly();
    ASSERT_EQ(TLYApiImpl::Instance().LedgerForTesting().TotalSize(), 1u);
    TLYAPI_FetchPendingActivities();
    TLYAPI_FetchPendingActivities();  // within the minute: not again
    const auto remarks = LinesWithEvent(LogPath(), "activities.remark_taken");
    ASSERT_EQ(remarks.size(), 1u);
    EXPECT_EQ(remarks[0]["fields"]["reason"], "unlisted");
    EXPECT_EQ(MarkedIdLists(), std::vector<std::string>{"801"});
    EXPECT_EQ(TLYApiImpl::Instance().LedgerForTesting().TotalSize(), 0u);
    EXPECT_TRUE(Delivered().empty());
}
