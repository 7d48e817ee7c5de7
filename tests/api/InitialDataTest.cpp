// Loading the site picture from the simulator: strict element reading, the
// per-panel reader replacement, the transition reconciliation, and the online
// snapshot's prefix rule.

#include "api/TLYApi.h"
#include "api/TLYApiImpl.h"
#include "tests/support/ApiFixture.h"
#include "tests/support/LogReader.h"
#include "tests/support/ReaderLists.h"

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

TEST_F(InitialDataTest, LaterLoadsQueueEveryKnownReaderOfflineFirst) {
    Connect(100);
    OpenAndConnect({1});
    ASSERT_TRUE(TLYAPI_GetInitialData(1));
    DrainReaders(true, 1);
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

TEST_F(InitialDataTest, ThousandsOfElementsLoad) {
    nlohmann::json doors = nlohmann::json::array();
    for (int i = 0; i < 5000; ++i) doors.push_back({{"id", i}, {"name", "Door " + std::to_string(i)}});
    sim.Call("POST", "/site", {{"doors", doors}});
    OpenAndConnect({1});
    EXPECT_TRUE(TLYAPI_GetInitialData(1));
    EXPECT_EQ(LinesWithEvent(LogPath(), "initial_data.doors_loaded").back()["fields"]["count"], 5000);
}
