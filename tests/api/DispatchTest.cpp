#include "api/TLYApiImpl.h"
#include "logging/Log.h"
#include "settings/TranslatorSettings.h"
#include "tests/support/LogReader.h"
#include "tests/support/ReaderLists.h"
#include "tests/support/TempModuleDirectory.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <thread>

using tly::test::DrainReaders;
using tly::test::LinesWithEvent;

namespace {

// Panel 4: handheld 100 (guid G1, own reader 4:2) and handheld 101 (guid G2,
// own reader 4:3) both assigned to door 3, whose entry and exit readers are
// 4:7 and 4:8. Door 5 has the readers 4:9 and 4:10.
class DispatchTest : public ::testing::Test {
protected:
    DispatchTest() {
        TranslatorSettings settings;
        settings.log_level = "trace";
        ApplyLoggingSettings(settings);
        api.ReplaceSiteForTesting(
            {{3, "Gate", "D3", 7, 8}, {5, "Dock", "D5", 9, 10}},
            {{100, "HH1", "G1", "4:2", 3}, {101, "HH2", "G2", "4:3", 3}},
            {{20, "4:2", "R2", "G1", 3}, {21, "4:3", "R3", "G2", 3}, {7, "4:7", "Entry", "", 3},
             {8, "4:8", "Exit", "", 3}, {9, "4:9", "DockIn", "", 5}, {10, "4:10", "DockOut", "", 5}},
            {});
    }
    void Send(const std::string& text) { api.OnWebSocketMessage(text); }
    static std::string Connected(int id, const std::string& guid, int door = 3) {
        return R"({"type":"reader_connected","reader":{"id":)" + std::to_string(id) + R"(,"guid":")" + guid +
               R"(","name":"n","door_id":)" + std::to_string(door) + "}}";
    }
    static std::string Disconnected(int id, const std::string& guid) {
        return R"({"type":"reader_disconnected","reader":{"id":)" + std::to_string(id) + R"(,"guid":")" + guid +
               R"(","name":"n"}})";
    }
    std::string LogPath() const { return dir.File("tly_translator.log"); }

    tly::test::TempModuleDirectory dir;
    TLYApiImpl& api = TLYApiImpl::Instance();
};

using Readers = std::vector<std::int32_t>;

}  // namespace

TEST_F(DispatchTest, ConnectedHandheldBringsItsReaderAndItsDoorsReadersOnline) {
    Send(Connected(100, "G1"));
    EXPECT_EQ(DrainReaders(true, 4).readers, (Readers{2, 7, 8}));
    auto lines = LinesWithEvent(LogPath(), "reader.connected");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["fields"], nlohmann::json({{"reader_id", 100}, {"name", "n"}, {"guid", "G1"}, {"door_id", 3}}));
}

TEST_F(DispatchTest, DoorStaysOnlineWhileAnotherHandheldServesIt) {
    Send(Connected(100, "G1"));
    Send(Connected(101, "G2"));
    DrainReaders(true, 4);

    Send(Disconnected(100, "G1"));
    EXPECT_EQ(DrainReaders(false, 4).readers, (Readers{2}));
    Send(Disconnected(101, "G2"));
    EXPECT_EQ(DrainReaders(false, 4).readers, (Readers{3, 7, 8}));
}

TEST_F(DispatchTest, RepeatedConnectFollowedByOneDisconnectLeavesNoEntry) {
    Send(Connected(100, "G1"));
    Send(Connected(100, "G1"));
    EXPECT_EQ(api.ConnectedReadersSnapshot().size(), 2u);
    Send(Disconnected(100, "G1"));
    EXPECT_TRUE(api.ConnectedReadersSnapshot().empty());
}

TEST_F(DispatchTest, DoorChangeOfConnectedHandheldMovesItsDoorReaders) {
    Send(Connected(100, "G1"));
    DrainReaders(true, 4);
    Send(R"({"type":"reader_door_changed","reader":{"id":100,"guid":"G1","old_door_id":3,"new_door_id":5}})");
    EXPECT_EQ(DrainReaders(false, 4).readers, (Readers{2, 7, 8}));
    EXPECT_EQ(DrainReaders(true, 4).readers, (Readers{2, 9, 10}));
    EXPECT_EQ(api.ConnectedReadersSnapshot().at(0).door_id, 5);
}

TEST_F(DispatchTest, DoorChangeOfDisconnectedHandheldOnlyQueuesOffline) {
    Send(R"({"type":"reader_door_changed","reader":{"id":100,"guid":"G1","old_door_id":3,"new_door_id":5}})");
    EXPECT_EQ(DrainReaders(false, 4).readers, (Readers{2, 7, 8}));
    EXPECT_FALSE(DrainReaders(true, 4).touched);
}

TEST_F(DispatchTest, MalformedMessagesAreLoggedAndChangeNothing) {
    const std::string deep = R"({"type":"heartbeat","x":)" + std::string(5000, '[') + std::string(5000, ']') + "}";
    struct Case {
        const char* text;
        const char* event;
        const char* exception;  // the start of the JSON library's own message
    };
    for (const Case& c :
         {Case{"[1,2]", "websocket.message_parse_failed", "[json.exception.type_error.306] cannot use value() with array"},
          Case{"not json", "websocket.message_parse_failed", "[json.exception.parse_error.101] parse error"},
          Case{R"({"type":"reader_connected"})", "websocket.message_parse_failed",
               "[json.exception.out_of_range.403] key 'reader' not found"},
          Case{R"({"type":"reader_connected","reader":null})", "websocket.message_parse_failed",
               "[json.exception.type_error.302] type must be object, but is null"},
          Case{R"({"type":"reader_connected","reader":{"id":"7"}})", "websocket.message_parse_failed",
               "[json.exception.type_error.302] type must be number, but is string"},
          Case{R"({"type":5})", "websocket.message_parse_failed",
               "[json.exception.type_error.302] type must be string, but is number"},
          Case{R"({"type":"reader_connected","reader":{"id":4294967297}})", "websocket.message_parse_failed", ""},
          Case{deep.c_str(), "websocket.message_parse_failed", ""},
          Case{R"({"type":"Reader_Connected","reader":{}})", "websocket.message_unknown", ""},
          Case{R"({"reader":{}})", "websocket.message_unknown", ""}}) {
        tly::test::WriteFileBytes(LogPath(), "");
        Send(c.text);
        const auto lines = LinesWithEvent(LogPath(), c.event);
        ASSERT_EQ(lines.size(), 1u) << c.text;
        if (*c.exception) {
            EXPECT_EQ(lines[0]["fields"]["exception"].get<std::string>().rfind(c.exception, 0), 0u)
                << c.text << " -> " << lines[0]["fields"]["exception"];
        }
    }
    EXPECT_TRUE(api.ConnectedReadersSnapshot().empty());
    EXPECT_FALSE(DrainReaders(true, 4).touched);
    EXPECT_EQ(LinesWithEvent(LogPath(), "websocket.message_unknown").at(0)["level"], "warn");
}

TEST_F(DispatchTest, EmptyReaderObjectAppendsADefaultEntry) {
    Send(R"({"type":"reader_connected","reader":{}})");
    auto connected = api.ConnectedReadersSnapshot();
    ASSERT_EQ(connected.size(), 1u);
    EXPECT_EQ(connected[0].id, 0);
    EXPECT_EQ(connected[0].guid, "");
    EXPECT_EQ(connected[0].door_id, 0);
}

// The run starts on the activity worker, not on the channel's thread, which
// goes straight back to reading.
TEST_F(DispatchTest, HeartbeatChangesNothingAndActivitiesNotificationStartsARun) {
    Send(R"({"type":"heartbeat"})");
    EXPECT_FALSE(tly::test::HasEvent(LogPath(), "websocket.message_unknown"));
    api.RegisterPanel(4);
    Send(R"({"type":"activities_available"})");
    EXPECT_TRUE(tly::test::HasEvent(LogPath(), "activities.notification"));
    for (int i = 0; i < 1000 && !tly::test::HasEvent(LogPath(), "activities.no_callback"); ++i) ::Sleep(10);
    EXPECT_TRUE(tly::test::HasEvent(LogPath(), "activities.no_callback"));
    api.UnregisterPanel(4);
    api.StopBackgroundWork();
}

TEST_F(DispatchTest, QueueingRacesReloadingAndDrainingWithoutDeadlock) {
    std::atomic<bool> stop{false};
    std::thread notifications([&] {
        for (int i = 0; i < 300; ++i) {
            Send(Connected(100, "G1"));
            Send(R"({"type":"reader_door_changed","reader":{"id":100,"guid":"G1","old_door_id":3,"new_door_id":5}})");
            Send(Disconnected(100, "G1"));
        }
        stop = true;
    });
    std::thread host([&] {
        while (!stop) {
            DrainReaders(false, 4);
            DrainReaders(true, 4);
            api.UnregisterPanel(4);
            api.RegisterPanel(4);
        }
    });
    while (!stop) {
        api.ReplaceSiteForTesting({{3, "Gate", "D3", 7, 8}}, {{100, "HH1", "G1", "4:2", 3}},
                                  {{20, "4:2", "R2", "G1", 3}, {7, "4:7", "E", "", 3}}, {});
    }
    notifications.join();
    host.join();
    SUCCEED();
}
