// Loading the site picture from the simulator: strict element reading, the
// per-panel reader replacement, the transition reconciliation, the online
// snapshot's prefix rule, the site-wide lists that status requests share, and
// the lookup index.

#include "api/TLYApi.h"
#include "api/SiteModel.h"
#include "api/TLYApiImpl.h"
#include "tests/support/ApiFixture.h"
#include "tests/support/LogReader.h"
#include "tests/support/ManualClock.h"
#include "tests/support/ReaderLists.h"

#include <atomic>
#include <map>
#include <set>
#include <thread>

using tly::test::DrainReaders;
using tly::test::HasEvent;
using tly::test::LinesWithEvent;

namespace {

using Readers = std::vector<std::int32_t>;

class InitialDataTest : public tly::test::ApiFixture {
protected:
    InitialDataTest() { LoadStandardSite(); }

    Readers Snapshot(std::int32_t panel) {
        ReaderStatusList list{nullptr, 0};
        TLYAPI_GetReadersStatus3(panel, &list);
        Readers readers;
        for (int i = 0; i < list.count; ++i) {
            EXPECT_EQ(list.items[i].online, 1);
            readers.push_back(list.items[i].readerIndex);
        }
        delete[] list.items;
        return readers;
    }
    void Connect(int handheld) { sim.Call("POST", "/handhelds/connect", {{"id", handheld}, {"notify", false}}); }
    void AnswerOnce(const std::string& path, const std::string& body) {
        sim.AddFault(path, {{"status", 200}, {"body", body}, {"count", 1}});
    }
};

}  // namespace

TEST_F(InitialDataTest, LoadsTheSiteAndQueuesConnectedHandheldsOnline) {
    Connect(100);
    OpenAndConnect({1});
    EXPECT_TRUE(TLYAPI_GetInitialData(1));
    EXPECT_EQ(DrainReaders(true, 1).readers, (Readers{2, 7, 8}));
    EXPECT_FALSE(DrainReaders(false, 1).touched) << "the first load queues nothing offline";
    EXPECT_EQ(LinesWithEvent(LogPath(), "initial_data.doors_loaded").at(0)["fields"]["count"], 2);
}

TEST_F(InitialDataTest, LaterLoadsQueueEveryReaderNoConnectedHandheldServesOffline) {
    Connect(100);
    OpenAndConnect({1});
    ASSERT_TRUE(TLYAPI_GetInitialData(1));
    DrainReaders(true, 1);
    ASSERT_TRUE(TLYAPI_GetInitialData(1));
    EXPECT_EQ(DrainReaders(false, 1).readers, (Readers{3, 9, 10}));
    EXPECT_EQ(DrainReaders(true, 1).readers, (Readers{2, 7, 8}));
    sim.Call("POST", "/handhelds/disconnect", {{"id", 100}, {"notify", false}});
    ASSERT_TRUE(TLYAPI_GetInitialData(1));
    EXPECT_EQ(DrainReaders(false, 1).readers, (Readers{2, 3, 7, 8, 9, 10}));
    EXPECT_FALSE(DrainReaders(true, 1).touched);
}

TEST_F(InitialDataTest, SnapshotListsOnlyThisPanelsOnlineReadersOnce) {
    for (int handheld : {100, 101, 700, 1700, 7000}) Connect(handheld);
    OpenAndConnect({1, 7});
    EXPECT_EQ(Snapshot(1), (Readers{2, 7, 8, 3}));
    EXPECT_EQ(Snapshot(7), (Readers{1})) << "17:1 and 70:1 do not start with the prefix 7:";
    EXPECT_TRUE(Snapshot(5).empty());
}

TEST_F(InitialDataTest, ReloadingAPanelReplacesOnlyItsOwnReaders) {
    OpenAndConnect({1, 7, 17});
    ASSERT_TRUE(TLYAPI_GetInitialData(1));
    ASSERT_TRUE(TLYAPI_GetInitialData(17));
    ASSERT_TRUE(TLYAPI_GetInitialData(7));
    auto loaded = LinesWithEvent(LogPath(), "initial_data.readers_loaded");
    EXPECT_EQ(loaded.back()["fields"]["reader_count"], 8) << "six readers of panel 1, one each of 17 and 7";
    ASSERT_TRUE(TLYAPI_GetInitialData(1));
    EXPECT_EQ(LinesWithEvent(LogPath(), "initial_data.readers_loaded").back()["fields"]["reader_count"], 8);
}

// A poll collects the offline queue and then the online queue while other
// panels' status requests reload. A reload fills the queues whole, never in
// part, and the readers a connected handheld serves never come out of a poll
// as offline.
TEST_F(InitialDataTest, PollsCollectingDuringReloadsSeeWholeFillsAndServedReadersOnline) {
    Connect(100);
    OpenAndConnect({1});
    ASSERT_TRUE(TLYAPI_GetInitialData(1));  // later loads empty the queues and fill them again
    std::atomic<bool> stop{false};
    std::set<std::int32_t> reportedOffline;
    std::vector<Readers> partial;
    {
        std::jthread poll([&] {
            std::map<std::int32_t, bool> online;
            while (!stop) {
                const Readers offline = DrainReaders(false, 1).readers;
                const Readers back = DrainReaders(true, 1).readers;
                if (!offline.empty() && offline != Readers{3, 9, 10}) partial.push_back(offline);
                if (!back.empty() && back != Readers{2, 7, 8}) partial.push_back(back);
                for (std::int32_t reader : offline) online[reader] = false;
                for (std::int32_t reader : back) online[reader] = true;
                for (std::int32_t served : {2, 7, 8}) {
                    if (online.count(served) && !online[served]) reportedOffline.insert(served);
                }
            }
        });
        for (int i = 0; i < 20; ++i) TLYAPI_GetInitialData(1);
        stop = true;
    }
    EXPECT_TRUE(partial.empty()) << partial.size() << " collections saw a reload's fill in part";
    EXPECT_TRUE(reportedOffline.empty()) << "reader " << *reportedOffline.begin() << " came out offline";
}

TEST_F(InitialDataTest, ResponseShapesAndMemberTypesAreReadStrictly) {
    OpenAndConnect({1});
    struct Case {
        const char* body;
        bool ok;
        const char* lastErrorStart;  // the prefix, then the JSON library's own message
    };
    const std::string prefix = "Failed to parse doors response: [json.exception.";
    for (const Case& c : {Case{"null", true, ""}, Case{"{}", true, ""}, Case{R"({"doors":null})", true, ""},
                          Case{R"([{"id":1}])", false, "type_error.306] cannot use value() with array"},
                          Case{R"("doors")", false, "type_error.306] cannot use value() with string"},
                          Case{R"({"doors":[{"id":1,"external_entry_reader_id":null}]})", false,
                               "type_error.302] type must be number, but is null"},
                          Case{R"({"doors":[{"id":"1"}]})", false, "type_error.302] type must be number, but is string"},
                          Case{R"({"doors":[7]})", false, "type_error.306] cannot use value() with number"},
                          Case{R"({"doors":{"id":1}})", false, "type_error.302] type must be array, but is object"},
                          Case{R"({"doors":[{"id":2.9,"name":"x","unknown":[1]}]})", true, ""},
                          Case{"{broken", false, "parse_error.101] parse error at line 1, column 2"}}) {
        AnswerOnce("/api/corvanta/doors", c.body);
        EXPECT_EQ(TLYAPI_GetInitialData(1), c.ok) << c.body;
        if (!c.ok) {
            EXPECT_EQ(LastError().rfind(prefix + c.lastErrorStart, 0), 0u) << c.body << " -> " << LastError();
        }
    }
}

TEST_F(InitialDataTest, FailedFetchKeepsTheListAndTheOtherFetchesStillRun) {
    Connect(100);
    OpenAndConnect({1});
    ASSERT_TRUE(TLYAPI_GetInitialData(1));
    sim.AddFault("/api/corvanta/handhelds", {{"status", 500}, {"count", 1}});
    sim.AddFault("/api/corvanta/connected-readers", {{"status", 500}, {"count", 1}});
    sim.Call("POST", "/requests/clear");
    EXPECT_FALSE(TLYAPI_GetInitialData(1));
    EXPECT_EQ(LastError().rfind("Failed to fetch connected readers: ", 0), 0u) << "the last failure wins";
    EXPECT_EQ(sim.Requests("/api/corvanta/panels/1/readers").size(), 1u);
    EXPECT_TRUE(HasEvent(LogPath(), "initial_data.handhelds_fetch_failed"));
    // The lists kept from before still put the connected handheld online.
    EXPECT_EQ(Snapshot(1), (Readers{2, 7, 8}));
}

// A list that keeps failing at every status request is written in full once
// (a site-wide list once for the site, a panel's readers once per panel) until
// it loads again.
TEST_F(InitialDataTest, ARepeatedFetchFailureIsWrittenInFullOnceUntilTheListLoads) {
    OpenAndConnect({1, 7});
    const auto errors = [this](const char* event, std::int32_t panel) {
        size_t count = 0;
        for (const auto& line : LinesWithEvent(LogPath(), event)) {
            count += line["level"] == "error" && line["fields"].value("panel_id", 0) == panel;
        }
        return count;
    };
    const nlohmann::json failing = {{"status", 500}, {"count", 0}};
    sim.AddFault("/api/corvanta/handhelds", failing);
    sim.AddFault("/api/corvanta/panels/7/readers", failing);
    for (int poll = 0; poll < 5; ++poll) {
        EXPECT_FALSE(TLYAPI_GetInitialData(1));
        EXPECT_FALSE(TLYAPI_GetInitialData(7));
    }
    EXPECT_EQ(errors("initial_data.handhelds_fetch_failed", 0), 1u);
    EXPECT_EQ(LinesWithEvent(LogPath(), "initial_data.handhelds_fetch_failed").size(), 10u) << "the repeats at debug";
    EXPECT_EQ(errors("initial_data.readers_fetch_failed", 7), 1u);

    sim.Call("POST", "/faults/clear");
    EXPECT_TRUE(TLYAPI_GetInitialData(7));
    sim.AddFault("/api/corvanta/handhelds", failing);
    EXPECT_FALSE(TLYAPI_GetInitialData(1));
    EXPECT_EQ(errors("initial_data.handhelds_fetch_failed", 0), 2u) << "in full again after the list loaded";
}

// While the event channel is alive it keeps the site-wide lists current, so
// status requests within a second of a load share it; each request still
// loads its own panel's readers. Without the channel each request loads all.
TEST_F(InitialDataTest, StatusRequestsShareTheSiteWideListsWhileTheChannelIsAlive) {
    tly::test::ManualClock clock;
    Connect(100);
    OpenAndConnect({1, 7});
    sim.Call("POST", "/requests/clear");
    auto loads = [&](const std::string& path) { return sim.Requests("/api/corvanta" + path).size(); };
    auto siteWideLoads = [&] {
        const size_t doors = loads("/doors");
        EXPECT_EQ(loads("/handhelds"), doors);
        EXPECT_EQ(loads("/connected-readers"), doors);
        return doors;
    };

    EXPECT_EQ(Snapshot(1), (Readers{2, 7, 8}));
    clock.Advance(999);
    EXPECT_TRUE(Snapshot(7).empty());
    EXPECT_EQ(Snapshot(1), (Readers{2, 7, 8}));
    EXPECT_EQ(siteWideLoads(), 1u);
    EXPECT_EQ(loads("/panels/1/readers"), 2u);
    EXPECT_EQ(loads("/panels/7/readers"), 1u);

    // A connection pushed on the channel shows in a shared answer.
    sim.Call("POST", "/handhelds/connect", {{"id", 700}});
    ASSERT_TRUE(WaitUntil([] { return TLYApiImpl::Instance().ConnectedReadersSnapshot().size() == 2; }));
    EXPECT_EQ(Snapshot(7), (Readers{1}));
    EXPECT_EQ(siteWideLoads(), 1u);

    clock.Advance(1);
    EXPECT_EQ(Snapshot(1), (Readers{2, 7, 8}));
    EXPECT_EQ(siteWideLoads(), 2u) << "a second after the load";

    // A load that failed is not shared.
    sim.AddFault("/api/corvanta/handhelds", {{"status", 500}, {"count", 1}});
    clock.Advance(1000);
    Snapshot(1);
    Snapshot(1);
    EXPECT_EQ(siteWideLoads(), 4u);

    // Requests arriving together wait for one load and share it.
    clock.Advance(1000);
    std::vector<Readers> answers(4);
    {
        std::vector<std::jthread> panels;
        for (size_t i = 0; i < answers.size(); ++i) {
            panels.emplace_back([&, i] { answers[i] = Snapshot(i % 2 ? 7 : 1); });
        }
    }
    EXPECT_EQ(siteWideLoads(), 5u);
    EXPECT_EQ(answers, (std::vector<Readers>{{2, 7, 8}, {1}, {2, 7, 8}, {1}}));

    // What the channel would have pushed while it was down is lost: the next
    // request loads everything, and so does the first one after a reconnect
    // within the same second, though the channel is up again.
    clock.Advance(30000);  // the health check's interval, so a later tick may reopen the channel
    EXPECT_EQ(Snapshot(1), (Readers{2, 7, 8}));
    EXPECT_EQ(siteWideLoads(), 6u);
    sim.Call("POST", "/handhelds/disconnect", {{"id", 100}, {"notify", false}});
    sim.Call("POST", "/ws/close");
    ASSERT_TRUE(WaitUntil([this] {
        auto changes = LinesWithEvent(LogPath(), "websocket.connection_state_changed");
        return !changes.empty() && changes.back()["fields"]["connected"] == false;
    }));
    EXPECT_TRUE(Snapshot(1).empty()) << "handheld 100 went away while the channel was down";
    EXPECT_EQ(siteWideLoads(), 7u);
    Connect(100);
    ASSERT_TRUE(TLYAPI_GetSubscribed(1));
    ASSERT_TRUE(HasEvent(LogPath(), "websocket.reconnect_succeeded"));
    sim.Call("POST", "/requests/clear");
    EXPECT_EQ(Snapshot(1), (Readers{2, 7, 8}));
    EXPECT_EQ(siteWideLoads(), 1u) << "a new connection of the channel: nothing is shared across it";
    EXPECT_EQ(Snapshot(7), (Readers{1}));
    EXPECT_EQ(siteWideLoads(), 1u);
}

TEST_F(InitialDataTest, WithoutTheChannelEveryStatusRequestLoadsTheWholeSite) {
    tly::test::ManualClock clock;
    sim.Call("POST", "/ws/refuse", {{"status", 401}, {"count", 10}});
    Connect(100);
    OpenAndConnect({1});
    sim.Call("POST", "/requests/clear");
    EXPECT_EQ(Snapshot(1), (Readers{2, 7, 8}));
    EXPECT_EQ(Snapshot(1), (Readers{2, 7, 8}));
    EXPECT_EQ(sim.Requests("/api/corvanta/doors").size(), 2u);
    EXPECT_EQ(sim.Requests("/api/corvanta/connected-readers").size(), 2u);
}

TEST_F(InitialDataTest, ThousandsOfElementsLoad) {
    nlohmann::json doors = nlohmann::json::array();
    for (int i = 0; i < 5000; ++i) doors.push_back({{"id", i}, {"name", "Door " + std::to_string(i)}});
    sim.Call("POST", "/site", {{"doors", doors}});
    OpenAndConnect({1});
    EXPECT_TRUE(TLYAPI_GetInitialData(1));
    EXPECT_EQ(LinesWithEvent(LogPath(), "initial_data.doors_loaded").back()["fields"]["count"], 5000);
}

TEST(SiteIndexTest, FindsEveryRecordWithAKeyInListOrderAndFollowsRefills) {
    std::vector<ReaderInfo> readers;
    for (int id : {5, 3, 5, 7, 5}) readers.push_back({id, std::to_string(readers.size()), "", "", 0});
    SiteIndex<ReaderInfo, std::int32_t> byId([](const ReaderInfo& r) { return r.id; });
    auto positions = [&](std::int32_t id) {
        std::vector<std::string> found;
        byId.ForEach(readers, id, [&](const ReaderInfo& r) { found.push_back(r.external_id); });
        return found;
    };
    EXPECT_EQ(byId.First(readers, 5), &readers[0]);
    EXPECT_EQ(positions(5), (std::vector<std::string>{"0", "2", "4"}));
    EXPECT_EQ(positions(7), (std::vector<std::string>{"3"}));
    EXPECT_EQ(byId.First(readers, 9), nullptr);
    EXPECT_TRUE(positions(9).empty());

    readers.erase(readers.begin());  // a refill that changes the length
    EXPECT_EQ(byId.First(readers, 5), &readers[1]);
    readers[1].id = 9;  // same length: only marking it stale tells
    byId.MarkStale();
    EXPECT_EQ(positions(5), (std::vector<std::string>{"4"}));
    EXPECT_EQ(byId.First(readers, 9), &readers[1]);
}

// A panel's reload replaces every reader whose id reads as one of the panel's,
// however the number is written, so a reload never leaves a stale copy behind;
// the status snapshot sorts by the same reading.
TEST(SiteModelTest, APanelsShareIsEveryReaderWhoseIdReadsAsThatPanel) {
    ReaderTransitionQueues transitions;
    SiteModel site(transitions);
    auto reader = [](std::int32_t id, const char* externalId) {
        ReaderInfo r;
        r.id = id;
        r.external_id = externalId;
        r.guid = "g" + std::to_string(id);
        return r;
    };
    EXPECT_EQ(site.ReplacePanelReaders(1, {reader(1, "1:2"), reader(2, "01:3"), reader(3, "7:1"), reader(4, "1:x")}), 4u);
    EXPECT_EQ(site.ReplacePanelReaders(1, {reader(5, "1:5")}), 3u) << "7:1 and 1:x are not panel 1's";

    HandheldInfo handheld;
    handheld.guid = "g5";
    handheld.external_id = "+1:4";
    site.ReplaceHandhelds({handheld});
    site.ReaderConnected(handheld);
    EXPECT_EQ(site.OnlineReaderIndices(1), (std::vector<std::int32_t>{4}));
    EXPECT_TRUE(site.OnlineReaderIndices(7).empty());
}
