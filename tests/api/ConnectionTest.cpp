// The connection lifecycle against a private simulator: first connection,
// REST-only fallback, the health tick's 30 s and 60 s rules on a test clock,
// and the transport's close with the last panel.

#include "EventMessages.h"
#include "api/ActivityCodes.h"
#include "api/TLYApi.h"
#include "api/HostCallBudget.h"
#include "api/StatusFile.h"
#include "api/TLYApiImpl.h"
#include "platform/UniqueResource.h"
#include "tests/support/ApiFixture.h"
#include "tests/support/LogReader.h"
#include "tests/support/ManualClock.h"
#include "tests/support/RecordedEventLog.h"
#include "transport/TokenBackoff.h"

#include <windows.h>

#include <algorithm>
#include <functional>
#include <thread>

using tly::test::HasEvent;
using tly::test::LinesWithEvent;

namespace {

class ConnectionTest : public tly::test::ApiFixture {
protected:
    size_t RequestCount(const std::string& path) { return sim.Requests(path).size(); }
    int WebSocketClients() { return sim.Call("GET", "/ws/clients")["count"].get<int>(); }
    bool WaitForWebSocketClients(int count) {
        int status = 0;
        sim.Call("POST", "/wait/ws_clients", {{"count", count}, {"timeout_ms", 8000}}, &status);
        return status == 200;
    }

    // Gives the settings file a write time a second past its last one, so the
    // watcher sees the rewrite however coarse the file system's clock.
    void TouchSettingsFile() {
        const std::string path = dir.File("tallyport_settings.json");
        const tly::UniqueFileHandle file(::CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES,
                                                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                                       FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(file.valid());
        FILETIME written{};
        ::GetFileTime(file.get(), nullptr, nullptr, &written);
        const std::uint64_t later =
            ((static_cast<std::uint64_t>(written.dwHighDateTime) << 32) | written.dwLowDateTime) + 10000000;
        const FILETIME time{static_cast<DWORD>(later), static_cast<DWORD>(later >> 32)};
        EXPECT_TRUE(::SetFileTime(file.get(), nullptr, nullptr, &time));
    }

    tly::test::ManualClock clock{100000};
};

}  // namespace

TEST_F(ConnectionTest, FirstConnectionAuthenticatesChecksStatusOpensChannelAndPins) {
    OpenAndConnect({1});
    EXPECT_EQ(RequestCount("/auth/token"), 1u);
    EXPECT_EQ(RequestCount("/api/corvanta/status"), 1u);
    EXPECT_TRUE(WaitForWebSocketClients(1));
    EXPECT_TRUE(HasEvent(LogPath(), "connect.websocket_connected"));
    EXPECT_TRUE(HasEvent(LogPath(), "connect.succeeded"));

    auto settings = nlohmann::json::parse(dir.Read("tallyport_settings.json"));
    EXPECT_EQ(settings["server"].value("cert_thumbprint", ""), sim.Thumbprint()) << "pinned on first use";
}

TEST_F(ConnectionTest, SecondPanelReusesTheTransport) {
    OpenAndConnect({1, 2});
    EXPECT_EQ(RequestCount("/auth/token"), 1u);
    EXPECT_EQ(RequestCount("/api/corvanta/status"), 2u);
    EXPECT_TRUE(WaitForWebSocketClients(1));
}

TEST_F(ConnectionTest, RefusedUpgradeLeavesRestOnlyModeAndTheHealthTickReopensIt) {
    LoadStandardSite();
    sim.Call("POST", "/ws/refuse", {{"status", 401}, {"count", 2}});
    OpenAndConnect({1, 7});
    auto warned = LinesWithEvent(LogPath(), "connect.websocket_failed");
    ASSERT_EQ(warned.size(), 2u) << "each connect tries the channel";
    EXPECT_EQ(warned[0]["level"], "warn");
    EXPECT_EQ(WebSocketClients(), 0);

    clock.Advance(30000);
    EXPECT_TRUE(TLYAPI_GetSubscribed(1));
    EXPECT_TRUE(WaitForWebSocketClients(1));
    EXPECT_TRUE(HasEvent(LogPath(), "websocket.reconnect_succeeded"));
    // Every registered panel is refreshed, in order.
    auto refreshed = LinesWithEvent(LogPath(), "initial_data.fetch_start");
    ASSERT_EQ(refreshed.size(), 2u);
    EXPECT_EQ(refreshed[0]["fields"]["panel_id"], 1);
    EXPECT_EQ(refreshed[1]["fields"]["panel_id"], 7);
}

TEST_F(ConnectionTest, RecentChannelTrafficProvesHealthWithoutRest) {
    OpenAndConnect({1});
    ASSERT_TRUE(WaitForWebSocketClients(1));
    sim.Call("POST", "/requests/clear");
    // Make the connect's own stamp old, so only the heartbeat can make it fresh.
    clock.Advance(10000);
    sim.Call("POST", "/ws/send", {{"payload", "json"}, {"json", {{"type", "heartbeat"}}}});
    ASSERT_TRUE(WaitUntil([&] { return TLYApiImpl::Instance().SecondsSinceLastWebSocketMessage() < 1.0; }));

    clock.Advance(59000);
    EXPECT_TRUE(TLYAPI_GetSubscribed(1));
    EXPECT_EQ(RequestCount("/api/corvanta/status"), 0u);

    clock.Advance(2000);  // 61 s: the 30 s rule decides, and the last check is long past
    EXPECT_TRUE(TLYAPI_GetSubscribed(1));
    EXPECT_EQ(RequestCount("/api/corvanta/status"), 1u);
}

TEST_F(ConnectionTest, StatusIsCheckedAtMostEvery30SecondsWhileTheChannelIsDown) {
    sim.Call("POST", "/ws/refuse", {{"status", 404}, {"count", 100}});
    OpenAndConnect({1});
    sim.Call("POST", "/requests/clear");
    sim.AddFault("/api/corvanta/status", {{"status", 500}, {"count", 1}});

    clock.Advance(30000);
    EXPECT_FALSE(TLYAPI_GetSubscribed(1));
    clock.Advance(10000);
    EXPECT_FALSE(TLYAPI_GetSubscribed(99)) << "cached failure, whatever the panel";
    EXPECT_EQ(RequestCount("/api/corvanta/status"), 1u);

    clock.Advance(20000);
    EXPECT_TRUE(TLYAPI_GetSubscribed(1));
    EXPECT_EQ(RequestCount("/api/corvanta/status"), 2u);

    // Each panel's loss and return is one line of its own, with the cause.
    const auto lost = LinesWithEvent(LogPath(), "panel.link_lost");
    ASSERT_EQ(lost.size(), 2u);
    EXPECT_EQ(lost[0]["fields"]["panel_id"], 1);
    EXPECT_EQ(lost[1]["fields"]["panel_id"], 99);
    EXPECT_EQ(lost[0]["fields"]["cause"], "server_error");
    EXPECT_EQ(lost[0]["fields"]["status_code"], 500);
    EXPECT_EQ(lost[0]["fields"]["endpoint"], "/status");
    EXPECT_EQ(lost[1]["fields"]["since"], lost[0]["fields"]["since"]) << "one trouble, begun once";
    const auto restored = LinesWithEvent(LogPath(), "panel.link_restored");
    ASSERT_EQ(restored.size(), 1u);
    EXPECT_EQ(restored[0]["fields"]["panel_id"], 1);
    EXPECT_EQ(restored[0]["fields"]["offline_since"], lost[0]["fields"]["since"]);
    EXPECT_EQ(restored[0]["fields"]["offline_seconds"], 30);

    // The live status beside the log shows the open panel's link back up,
    // and the cause of its loss as the lost line gave it; panel 99 is not open.
    StatusReport status;
    std::string reason;
    ASSERT_TRUE(ParseStatus(dir.Read(StatusFileName(::GetCurrentProcessId())), status, reason)) << reason;
    ASSERT_EQ(status.panels.size(), 1u);
    EXPECT_EQ(status.panels[0].panelId, 1);
    EXPECT_EQ(status.panels[0].link, "up");
    EXPECT_EQ(status.panels[0].lastLossCause, "server_error");
    EXPECT_EQ(status.panels[0].lastLossCauseText, lost[0]["fields"]["cause_text"]);
    EXPECT_EQ(status.process.settings, "loaded");
}

// The event channel refused for more than 10 minutes while every health tick
// succeeds: one warning in the Event Log, none while REST is down too.
TEST_F(ConnectionTest, AChannelDownForMoreThan10MinutesWhileRestWorksIsOneWarning) {
    sim.Call("POST", "/ws/refuse", {{"status", 404}, {"count", 1000}});
    OpenAndConnect({1});
    tly::test::RecordedEventLog events;
    for (int check = 0; check < 20; ++check) {
        clock.Advance(30000);
        EXPECT_TRUE(TLYAPI_GetSubscribed(1));
    }
    EXPECT_TRUE(events.Events().empty()) << "10 minutes down";
    for (int check = 0; check < 10; ++check) {
        clock.Advance(30000);
        EXPECT_TRUE(TLYAPI_GetSubscribed(1));
    }
    const auto raised = events.Events();
    ASSERT_EQ(raised.size(), 1u);
    EXPECT_EQ(raised[0].id, TLY_EVENT_CHANNEL_DOWN);
    EXPECT_EQ(raised[0].kind, tly::EventKind::Warning);
}

// A server that stays down for minutes: one "lost" line with the cause in
// words and the error's name, the failing request in full once and then once
// a minute in summary, and one "restored" line.
TEST_F(ConnectionTest, AnOutageIsOneLostLineThenASummaryAMinuteThenOneRestoredLine) {
    sim.Call("POST", "/ws/refuse", {{"status", 404}, {"count", 1000}});  // REST only: every tick asks "/status"
    OpenAndConnect({1});
    tly::test::RecordedEventLog events;
    sim.Call("POST", "/server/stop");
    for (int check = 0; check < 6; ++check) {
        clock.Advance(30000);
        EXPECT_FALSE(TLYAPI_GetSubscribed(1));
    }
    sim.Call("POST", "/server/start");
    clock.Advance(30000);
    EXPECT_TRUE(TLYAPI_GetSubscribed(1));

    const auto lost = LinesWithEvent(LogPath(), "panel.link_lost");
    ASSERT_EQ(lost.size(), 1u);
    EXPECT_EQ(lost[0]["level"], "warn");
    EXPECT_EQ(lost[0]["fields"]["cause"], "connection_refused");
    EXPECT_EQ(lost[0]["fields"]["win32_error_name"], "ERROR_WINHTTP_CANNOT_CONNECT");
    EXPECT_NE(lost[0]["message"].get<std::string>().find("connection refused"), std::string::npos);
    ASSERT_EQ(LinesWithEvent(LogPath(), "panel.link_restored").size(), 1u);
    // In the Event Log: offline at the first check past 60 s, with the lost
    // line's cause, and back when it returns, each once.
    const auto raised = events.Events();
    ASSERT_EQ(raised.size(), 2u);
    EXPECT_EQ(raised[0].id, TLY_EVENT_PANEL_OFFLINE);
    EXPECT_EQ(raised[0].inserts.at(0), "1");
    EXPECT_NE(raised[0].inserts.at(1).find("connection refused"), std::string::npos) << raised[0].inserts.at(1);
    EXPECT_EQ(raised[1].id, TLY_EVENT_PANEL_BACK);
    EXPECT_EQ(raised[1].inserts, (std::vector<std::string>{"1", "180"}));

    int inFull = 0;
    for (const auto& line : LinesWithEvent(LogPath(), "request_send_failed")) {
        if (line["level"] == "error") ++inFull;
        EXPECT_EQ(line["fields"]["win32_error_name"], "ERROR_WINHTTP_CANNOT_CONNECT");
    }
    EXPECT_EQ(inFull, 1);
    std::vector<nlohmann::json> summaries;  // the event channel's refusals have their own
    for (const auto& line : LinesWithEvent(LogPath(), "still_failing")) {
        if (line["component"] == "rest_client") summaries.push_back(line);
    }
    ASSERT_EQ(summaries.size(), 2u);  // at one and at two minutes
    EXPECT_EQ(summaries[0]["level"], "error");
    EXPECT_EQ(summaries[0]["fields"]["repeated_event"], "request_send_failed");
    EXPECT_EQ(summaries[0]["fields"]["count"], 3);
    EXPECT_EQ(summaries[1]["fields"]["count"], 5);

    // The server answers again: its next failure is news, written in full.
    sim.Call("POST", "/server/stop");
    clock.Advance(30000);
    EXPECT_FALSE(TLYAPI_GetSubscribed(1));
    inFull = 0;
    for (const auto& line : LinesWithEvent(LogPath(), "request_send_failed")) inFull += line["level"] == "error";
    EXPECT_EQ(inFull, 2);
    sim.Call("POST", "/server/start");
}

// A client secret rotated on the server: the link is lost at the first
// refused token request, with its cause, however alive the channel still is;
// the token requests of both panels' polls then back off rather than lock
// the account, until one succeeds.
TEST_F(ConnectionTest, ARefusedSecretLosesTheLinkAtOnceAndTokenRequestsBackOffUntilOneSucceeds) {
    OpenAndConnect({1, 2});
    ASSERT_TRUE(WaitForWebSocketClients(1));
    const std::string secret = sim.ClientSecret();
    sim.Call("POST", "/config", {{"client_secret", "rotated-on-the-server"}});
    sim.Call("POST", "/tokens/revoke");
    sim.Call("POST", "/requests/clear");

    // Both panels poll once a second for 48 s, each poll asking for the site.
    bool lostAtOnce = true;
    for (int second = 0; second < 48; ++second) {
        for (const std::int32_t panel : {1, 2}) {
            TLYAPI_GetInitialData(panel);
            const bool up = TLYAPI_GetSubscribed(panel);
            if (second == 0 && up) lostAtOnce = false;
        }
        clock.Advance(1000);
    }
    EXPECT_TRUE(lostAtOnce) << "the link is lost at the first refusal";
    const auto lost = LinesWithEvent(LogPath(), "panel.link_lost");
    ASSERT_EQ(lost.size(), 2u);
    EXPECT_EQ(lost[0]["fields"]["cause"], "credentials_rejected");
    EXPECT_EQ(lost[0]["fields"]["status_code"], 401);
    EXPECT_EQ(lost[0]["fields"]["endpoint"], "/auth/token");
    // Waits of about 2, 4, 8, 16 and 32 s: five or six requests, not one per request that met a 401.
    const size_t refused = RequestCount("/auth/token");
    EXPECT_GE(refused, 4u);
    EXPECT_LE(refused, 7u);
    const auto failed = LinesWithEvent(LogPath(), "auth_failed");
    ASSERT_FALSE(failed.empty());
    const int firstWait = failed[0]["fields"]["next_attempt_ms"];
    EXPECT_GE(firstWait, 1500);
    EXPECT_LE(firstWait, 2500);
    EXPECT_TRUE(HasEvent(LogPath(), "auth_held_back"));

    // The server takes the old secret again: the reconnection after the
    // longest wait gets a token, and the link is back.
    sim.Call("POST", "/config", {{"client_secret", secret}});
    clock.Advance(tly::TokenBackoff::kMostMs);
    EXPECT_TRUE(TLYAPI_Connect(1));
    EXPECT_TRUE(TLYAPI_GetSubscribed(1));
    EXPECT_EQ(LinesWithEvent(LogPath(), "panel.link_restored").size(), 1u);

    // The success ended the backoff: the next refusal is asked about at once.
    sim.Call("POST", "/config", {{"client_secret", "rotated-again"}});
    sim.Call("POST", "/tokens/revoke");
    sim.Call("POST", "/requests/clear");
    EXPECT_FALSE(TLYAPI_GetInitialData(1));
    EXPECT_EQ(RequestCount("/auth/token"), 1u);
}

// The host stores the event times the server gives: a server clock more than
// two minutes from this computer's is said once per connection, whichever
// panel's status request saw it first.
TEST_F(ConnectionTest, AServerClockOffByMoreThanTwoMinutesIsSaidOncePerConnection) {
    sim.Call("POST", "/ws/refuse", {{"status", 404}, {"count", 100}});  // REST only: every tick asks "/status"
    OpenAndConnect({1, 2});  // this computer's clock: 2024-03-05T14:07:09Z (the test clock's)
    for (int tick = 0; tick < 3; ++tick) {
        clock.Advance(30000);
        EXPECT_TRUE(TLYAPI_GetSubscribed(1));
        EXPECT_TRUE(TLYAPI_GetSubscribed(2));
    }
    auto skews = LinesWithEvent(LogPath(), "server.clock_skew");
    ASSERT_EQ(skews.size(), 1u);
    EXPECT_EQ(skews[0]["level"], "warn");
    const auto& fields = skews[0]["fields"];
    EXPECT_EQ(fields["local_time"], "2024-03-05T14:07:09Z");
    const std::string serverTime = fields["server_time"];
    EXPECT_EQ(fields["skew_seconds"], static_cast<std::int64_t>(ActivityEventTime(serverTime)) - 1709647629);

    // Each connection compares again; a clock within two minutes says nothing.
    const auto reconnect = [this] {
        TLYAPI_Close(1);
        TLYAPI_Close(2);
        OpenAndConnect({1});
    };
    SYSTEMTIME now{};
    ::GetSystemTime(&now);
    clock.SetLocalTime(now);
    reconnect();
    EXPECT_EQ(LinesWithEvent(LogPath(), "server.clock_skew").size(), 1u);
    now.wYear -= 1;
    now.wDay = std::min<WORD>(now.wDay, 28);  // a date of every year
    clock.SetLocalTime(now);
    reconnect();
    skews = LinesWithEvent(LogPath(), "server.clock_skew");
    ASSERT_EQ(skews.size(), 2u);
    EXPECT_GT(skews[1]["fields"]["skew_seconds"].get<std::int64_t>(), 365 * 86400 - 120);
}

TEST_F(ConnectionTest, TickCountWrapDoesNotStallTheHealthCheck) {
    sim.Call("POST", "/ws/refuse", {{"status", 404}, {"count", 100}});
    clock.SetTick(0xFFFFFFFFu - 5000);
    OpenAndConnect({1});
    EXPECT_TRUE(TLYAPI_GetSubscribed(1));
    sim.Call("POST", "/requests/clear");
    clock.Advance(29000);  // wraps past zero, still within 30 s of the last check
    EXPECT_TRUE(TLYAPI_GetSubscribed(1));
    EXPECT_EQ(RequestCount("/api/corvanta/status"), 0u);
    clock.Advance(1000);
    EXPECT_TRUE(TLYAPI_GetSubscribed(1));
    EXPECT_EQ(RequestCount("/api/corvanta/status"), 1u);
}

TEST_F(ConnectionTest, OnlyTheLastPanelClosesTheTransport) {
    OpenAndConnect({1, 2});
    ASSERT_TRUE(WaitForWebSocketClients(1));
    TLYAPI_Close(1);
    EXPECT_TRUE(TLYAPI_GetSubscribed(2));
    EXPECT_EQ(WebSocketClients(), 1);
    TLYAPI_Close(2);
    EXPECT_TRUE(WaitForWebSocketClients(0));
    EXPECT_FALSE(TLYAPI_GetSubscribed(2)) << "nothing is open any more";
}

TEST_F(ConnectionTest, FailuresSetTheLastErrorText) {
    ASSERT_TRUE(TLYAPI_Open(1));
    sim.AddFault("/api/corvanta/status", {{"status", 503}, {"count", 2}});
    EXPECT_FALSE(TLYAPI_Connect(1));
    EXPECT_EQ(LastError().rfind("Health check failed: ", 0), 0u) << LastError();
    EXPECT_TRUE(HasEvent(LogPath(), "connect.health_failed"));
    const auto failed = LinesWithEvent(LogPath(), "connect.failed");
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0]["fields"]["reason"], LastError());
    EXPECT_EQ(failed[0]["fields"]["cause"], "server_error");

    // A redirect is refused, not followed: the text names its status and where it pointed.
    const std::string elsewhere = "127.0.0.1:" + std::to_string(sim.ControlPort());
    sim.Call("POST", "/faults/clear");
    sim.AddFault("/api/corvanta/status",
                 {{"status", 302}, {"body", ""}, {"headers", {{"Location", "https://" + elsewhere + "/status"}}}});
    EXPECT_FALSE(TLYAPI_Connect(1));
    EXPECT_EQ(LastError(), "Health check failed: HTTP 302: redirect to " + elsewhere + " refused");
    EXPECT_EQ(LinesWithEvent(LogPath(), "connect.failed").at(1)["fields"]["cause"], "redirect_refused");

    WriteSettings({{"client_secret", "wrong"}});
    TLYAPI_Close(1);  // drops the token, so the next connect authenticates again
    ASSERT_TRUE(TLYAPI_Open(1));
    EXPECT_FALSE(TLYAPI_Connect(1));
    EXPECT_EQ(LastError(), "OAuth authentication failed");
    EXPECT_EQ(LinesWithEvent(LogPath(), "connect.failed").at(2)["fields"]["cause"], "credentials_rejected");
    EXPECT_EQ(LinesWithEvent(LogPath(), "connect.auth_failed").at(0)["fields"]["client_id"], sim.ClientId());
}

TEST_F(ConnectionTest, ConcurrentConnectsClosesAndHealthTicksStayConsistent) {
    ASSERT_TRUE(TLYAPI_Open(1));
    ASSERT_TRUE(TLYAPI_Open(2));
    std::thread other([] {
        for (int i = 0; i < 20; ++i) {
            TLYAPI_Connect(2);
            TLYAPI_GetSubscribed(2);
        }
    });
    for (int i = 0; i < 20; ++i) {
        TLYAPI_Connect(1);
        TLYAPI_GetSubscribed(1);
    }
    other.join();
    EXPECT_TRUE(TLYAPI_Connect(1)) << LastError();
}

// A channel whose server never answers the close frame takes about two
// seconds to close; the connection's lock is let go before that wait, so a
// host call on another thread is not held up by it.
TEST_F(ConnectionTest, AChannelSlowToCloseHoldsUpNoOtherHostCall) {
    OpenAndConnect({1});
    ASSERT_TRUE(WaitForWebSocketClients(1));
    sim.Call("POST", "/config", {{"ws_answer_client_close", false}});
    std::thread closing([] { TLYApiImpl::Instance().StopBackgroundWork(); });
    // The close frame has reached the server: the close now waits for the receive thread.
    ASSERT_TRUE(WaitUntil([&] {
        const auto clients = sim.Call("GET", "/ws/clients").at("clients");
        return clients.size() == 1 && !clients[0]["received"].empty();
    }));
    const DWORD startedAt = ::GetTickCount();
    TLYAPI_GetSubscribed(1);
    const DWORD took = ::GetTickCount() - startedAt;
    closing.join();
    EXPECT_LT(took, 1000u) << "the health check waited for the channel's close";
}

// Whatever the server does with an answer, every host call that asks it
// returns within its budget. Here the test's thread opens a budget of 2 s
// around each export, which the export's own nests inside and never extends;
// unbounded, each fault below would hold the call for 20 s or more.
TEST_F(ConnectionTest, EveryExportThatAsksTheServerReturnsWithinItsBudget) {
    LoadStandardSite();
    RegisterCallbacks();
    sim.Call("POST", "/ws/refuse", {{"status", 401}, {"count", 1000}});  // channel down: status is asked over REST
    OpenAndConnect({1});
    struct Export {
        const char* name;
        const char* path;
        std::function<void()> call;
    };
    const Export exports[] = {
        {"Connect", "/api/corvanta/status", [] { TLYAPI_Connect(1); }},
        {"GetSubscribed", "/api/corvanta/status", [] { TLYAPI_GetSubscribed(1); }},
        {"FetchPendingActivities", "/api/corvanta/pending_activities/1", [] { TLYAPI_FetchPendingActivities(); }},
        {"GetInitialData", "/api/corvanta/doors", [] { TLYAPI_GetInitialData(1); }},
    };
    const nlohmann::json faults[] = {
        {{"delay_ms", 20000}},
        {{"action", "stall_after_headers"}, {"body", std::string(2000, ' ')}, {"stall_after_bytes", 10}},
        {{"action", "drip"}, {"interval_ms", 250}, {"body", std::string(100, ' ')}},
    };
    for (const Export& each : exports) {
        for (const nlohmann::json& fault : faults) {
            SCOPED_TRACE(std::string(each.name) + " under " + fault.dump());
            sim.Call("POST", "/faults/clear");
            nlohmann::json armed = fault;
            armed["count"] = 0;
            sim.AddFault(each.path, armed);
            clock.Advance(31000);  // a health check is due
            const size_t asked = RequestCount(each.path);
            const DWORD startedAt = ::GetTickCount();
            {
                const HostCallBudget budget(2000);
                each.call();
            }
            const DWORD took = ::GetTickCount() - startedAt;
            EXPECT_GT(RequestCount(each.path), asked) << "the export did not ask the server";
            EXPECT_LT(took, 8000u);
        }
    }
    sim.Call("POST", "/faults/clear");
    EXPECT_FALSE(LinesWithEvent(LogPath(), "deadline_exceeded").empty());
}

// The export's own budget: a token answer 16 s late fails the connect in
// about 9 s, with the line of the request the deadline cut.
TEST_F(ConnectionTest, AConnectWhoseTokenAnswerIsLateFailsWithinTheHostCallsBudget) {
    ASSERT_TRUE(TLYAPI_Open(1));
    sim.AddFault("/auth/token", {{"delay_ms", 16000}});
    const DWORD startedAt = ::GetTickCount();
    EXPECT_FALSE(TLYAPI_Connect(1));
    const DWORD took = ::GetTickCount() - startedAt;
    EXPECT_LE(took, 10000u);
    EXPECT_GE(took, 8000u) << "cut before the budget was spent";
    const auto cut = LinesWithEvent(LogPath(), "deadline_exceeded");
    ASSERT_EQ(cut.size(), 1u);
    EXPECT_EQ(cut[0]["component"], "rest_client");
    EXPECT_EQ(cut[0]["fields"]["endpoint"], "/auth/token");
    EXPECT_EQ(cut[0]["fields"]["deadline_ms"], 9000);
    EXPECT_EQ(LastError(), "OAuth authentication failed");
}

// A close never waits for another host call's request: the health check
// that GetSubscribed is waiting on holds no lock the close needs.
TEST_F(ConnectionTest, TheLastCloseReturnsWhileAnotherHostCallWaitsOnTheServer) {
    sim.Call("POST", "/ws/refuse", {{"status", 401}, {"count", 1000}});
    OpenAndConnect({1});
    sim.AddFault("/api/corvanta/status", {{"action", "hang"}, {"count", 0}});
    clock.Advance(31000);
    const size_t asked = RequestCount("/api/corvanta/status");
    std::thread waiting([] { TLYAPI_GetSubscribed(1); });
    ASSERT_TRUE(WaitUntil([&] { return RequestCount("/api/corvanta/status") > asked; }));
    const DWORD startedAt = ::GetTickCount();
    TLYAPI_Close(1);
    const DWORD took = ::GetTickCount() - startedAt;
    waiting.join();
    EXPECT_LT(took, 3000u) << "the close waited for the other call's request";
    EXPECT_FALSE(TLYApiImpl::Instance().ServerSessionOpenForTesting());
}

// A settings edit reconnects on the watcher's thread; a close while that
// reconnect waits on a token answer that never comes returns within its
// budget, and nothing the reconnect brings up outlives the last panel.
TEST_F(ConnectionTest, TheLastCloseReturnsWhileASettingsReconnectWaitsOnTheServer) {
    OpenAndConnect({1});
    sim.AddFault("/auth/token", {{"action", "hang"}, {"count", 0}});
    WriteSettings({{"client_id", sim.ClientId()}, {"port", sim.Port()}, {"cert_thumbprint", ""}}, "debug");
    TouchSettingsFile();
    ASSERT_TRUE(sim.WaitForRequests("/auth/token", 2).size() >= 2u);
    const DWORD startedAt = ::GetTickCount();
    TLYAPI_Close(1);
    const DWORD took = ::GetTickCount() - startedAt;
    EXPECT_LT(took, 10000u);
    EXPECT_TRUE(HasEvent(LogPath(), "settings.watcher.stop_timeout")) << "the close gave the reload a moment only";
    EXPECT_FALSE(TLYApiImpl::Instance().SettingsWatcherRunning());
    sim.Call("POST", "/faults/clear");  // the reconnect's request ends; what it opens is closed again
    EXPECT_TRUE(WaitUntil([] { return !TLYApiImpl::Instance().ServerSessionOpenForTesting(); }));
}
