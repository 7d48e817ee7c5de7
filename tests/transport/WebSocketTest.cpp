#include "transport/TLYWebSocket.h"

#include "platform/UniqueResource.h"
#include "tests/support/WaitUntil.h"
#include "tests/support/ManualClock.h"
#include "tests/transport/TransportTestSupport.h"
#include "transport/TLYRestClient.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>
#include <new>
#include <stdexcept>
#include <thread>

namespace tly::test {
namespace {

// What the call-backs received, with an event that wakes a waiting test.
class Recorder {
public:
    Recorder() : changed_(::CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

    void Attach(TLYWebSocket& webSocket) {
        webSocket.SetMessageCallback([this](const std::string& message) { OnMessage(message); });
        webSocket.SetStateCallback([this](bool connected) { OnState(connected); });
    }
    void OnState(bool connected) {
        Record([&] { states_.push_back(connected); });
    }
    void OnMessage(const std::string& message) {
        Record([&] { messages_.push_back(message); });
    }

    // Waits until condition holds, at most timeoutMs. It is tested after every
    // call-back, and every 50 ms for what changes without one.
    bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs = 10000) {
        return tly::test::WaitUntil(
            [&] {
                std::lock_guard<std::mutex> lock(mutex_);
                return condition();
            },
            timeoutMs, changed_.get());
    }
    bool WaitForMessages(std::size_t count) {
        return WaitUntil([&] { return messages_.size() >= count; });
    }
    bool WaitForStates(std::size_t count) {
        return WaitUntil([&] { return states_.size() >= count; });
    }

    std::vector<std::string> Messages() {
        std::lock_guard<std::mutex> lock(mutex_);
        return messages_;
    }
    std::vector<bool> States() {
        std::lock_guard<std::mutex> lock(mutex_);
        return states_;
    }

private:
    void Record(const std::function<void()>& change) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            change();
        }
        ::SetEvent(changed_.get());
    }

    UniqueHandle changed_;
    std::mutex mutex_;
    std::vector<std::string> messages_;
    std::vector<bool> states_;
};

class WebSocketTest : public TransportTest {
protected:
    WebSocketTest() {
        rest.Initialize(Simulator::kHost, sim.Port(), false);
        rest.Authenticate(sim.ClientId(), sim.ClientSecret());
        token = rest.AccessToken();
    }

    // Built on demand, so a test can install its clock first.
    TLYWebSocket& Channel() {
        if (!webSocket) {
            webSocket = std::make_unique<TLYWebSocket>();
            recorder.Attach(*webSocket);
        }
        return *webSocket;
    }
    // With validation off the channel is held to the simulator's certificate, as its owner holds it.
    bool Connect(bool validateCert = false) {
        return Channel().Connect(Simulator::kHost, sim.Port(), token, validateCert,
                                 validateCert ? std::string() : sim.Thumbprint());
    }
    nlohmann::json Send(nlohmann::json frame) { return sim.Call("POST", "/ws/send", frame); }
    void WaitForServerChannels(int count) {
        sim.Call("POST", "/wait/ws_clients", {{"count", count}, {"timeout_ms", 10000}});
    }

    TLYRestClient rest;
    std::string token;
    Recorder recorder;
    std::unique_ptr<TLYWebSocket> webSocket;
};

TEST_F(WebSocketTest, ConnectsWithTheTokenInThePathAndReportsTheState) {
    ASSERT_FALSE(token.empty());
    EXPECT_EQ(Channel().SecondsSinceLastMessage(), 999999.0);
    // "connected" comes after the state report, which comes after the receive thread started.
    bool connectedLoggedBeforeState = false;
    Channel().SetStateCallback([&](bool up) {
        if (up) connectedLoggedBeforeState = !Logged("connected").empty();
        recorder.OnState(up);
    });
    ASSERT_TRUE(Connect());
    EXPECT_FALSE(connectedLoggedBeforeState);
    EXPECT_TRUE(Channel().IsConnected());
    EXPECT_EQ(recorder.States(), std::vector<bool>{true});
    EXPECT_LT(Channel().SecondsSinceLastMessage(), 5.0);
    WaitForServerChannels(1);

    const auto upgrade = sim.Requests("/api/corvanta/events").at(0);
    EXPECT_EQ(upgrade.at("query"), "access_token=" + token);
    EXPECT_EQ(upgrade.at("headers").value("User-Agent", ""), "Tallyport-Corvanta-Translator-WS/1.0");
    const auto connected = Logged("connected");
    ASSERT_EQ(connected.size(), 1u);
    EXPECT_EQ(connected[0]["component"], "websocket");
    EXPECT_EQ(connected[0]["fields"],
              (nlohmann::json{{"hostname", "127.0.0.1"}, {"port", sim.Port()}, {"validate_cert", false}}));

    Channel().Close();
    EXPECT_FALSE(Channel().IsConnected());
    EXPECT_EQ(recorder.States(), (std::vector<bool>{true, false}));
    Channel().Close();  // closed already: nothing more
    EXPECT_EQ(recorder.States(), (std::vector<bool>{true, false}));
}

TEST_F(WebSocketTest, DeliversWholeTextMessagesOnlyAndDropsBinaryAndEmptyOnes) {
    ASSERT_TRUE(Connect());
    WaitForServerChannels(1);
    const std::string longText(200000, 'a');  // several receive buffers long
    Send({{"text", "three parts make one"}, {"fragments", 3}});
    Send({{"kind", "binary"}, {"text", "not for us"}});
    Send({{"kind", "binary"}, {"text", "nor this"}, {"fragments", 2}});
    Send({{"text", ""}});
    Send({{"text", longText}, {"fragments", 4}});
    Send({{"json", {{"type", "heartbeat"}}}});

    ASSERT_TRUE(recorder.WaitForMessages(3));
    EXPECT_EQ(recorder.Messages(), (std::vector<std::string>{"three parts make one", longText, R"({"type":"heartbeat"})"}));
    EXPECT_TRUE(Channel().IsConnected());
}

TEST_F(WebSocketTest, TheLastMessageTimeFollowsCompleteMessagesEmptyOnesIncluded) {
    ManualClock clock;
    ASSERT_TRUE(Connect());
    WaitForServerChannels(1);
    EXPECT_EQ(Channel().SecondsSinceLastMessage(), 0.0);
    clock.Advance(61000);
    EXPECT_EQ(Channel().SecondsSinceLastMessage(), 61.0);

    Send({{"text", ""}});
    EXPECT_TRUE(recorder.WaitUntil([&] { return Channel().SecondsSinceLastMessage() == 0.0; }, 10000));
    clock.Advance(2500);
    Send({{"text", "x"}});
    ASSERT_TRUE(recorder.WaitForMessages(1));
    EXPECT_EQ(Channel().SecondsSinceLastMessage(), 0.0);
    EXPECT_EQ(recorder.Messages(), std::vector<std::string>{"x"});
}

TEST_F(WebSocketTest, AnOversizedMessageIsDroppedAndTheChannelGoesOn) {
    ASSERT_TRUE(Connect());
    WaitForServerChannels(1);
    const std::size_t size = TLYWebSocket::kMaxMessageBytes + 1;
    Send({{"json", {{"type", "heartbeat"}}}, {"size", size}, {"fragments", 8}});
    Send({{"text", "after"}});
    ASSERT_TRUE(recorder.WaitForMessages(1));
    EXPECT_EQ(recorder.Messages(), std::vector<std::string>{"after"});
    const auto dropped = Logged("message_too_large");
    ASSERT_EQ(dropped.size(), 1u);
    EXPECT_EQ(dropped[0]["fields"]["size"], size);
    EXPECT_TRUE(Channel().IsConnected());
}

TEST_F(WebSocketTest, AThrowingMessageCallbackIsLoggedAndTheChannelGoesOn) {
    Channel().SetMessageCallback([this](const std::string& message) {
        if (message == "bad") throw std::runtime_error("handler broke");
        recorder.OnMessage(message);
    });
    ASSERT_TRUE(Connect());
    WaitForServerChannels(1);
    Send({{"text", "bad"}});
    Send({{"text", "good"}});
    ASSERT_TRUE(recorder.WaitForMessages(1));
    EXPECT_EQ(recorder.Messages(), std::vector<std::string>{"good"});
    const auto failed = Logged("message_callback_failed");
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0]["fields"]["exception"], "handler broke");
    EXPECT_TRUE(Channel().IsConnected());
}

// A receive pass that throws is logged and the channel goes on: the message
// under way is dropped, the rest of its fragments included, and the next one
// is delivered. A pass that fails as the server ends the connection still
// reports the end, so a channel whose receive thread has ended is always down
// (and the health tick makes it again).
TEST_F(WebSocketTest, AReceivePassThatThrowsIsLoggedAndTheChannelGoesOn) {
    // What each pass does, in turn; past the end of the list it throws.
    static std::atomic<int> passes{0};
    passes = 0;
    ASSERT_TRUE(Connect());
    WaitForServerChannels(1);
    Channel().SetReceivePassHookForTesting([] {
        switch (passes.fetch_add(1)) {
        case 0:
            throw std::bad_alloc();  // "lost"
        case 1:
            throw 7;  // the first part of "also lost"; its other parts are skipped without a pass
        case 2:       // "kept"
        case 4:       // "kept too"
            return;
        case 3:
            throw std::runtime_error("receive pass broke");  // "lost again"
        default:
            throw std::runtime_error("every pass fails");
        }
    });
    Send({{"text", "lost"}});
    Send({{"text", "also lost"}, {"fragments", 3}});
    Send({{"text", "kept"}});
    ASSERT_TRUE(recorder.WaitForMessages(1));
    Send({{"text", "lost again"}});
    Send({{"text", "kept too"}});
    ASSERT_TRUE(recorder.WaitForMessages(2));
    EXPECT_EQ(recorder.Messages(), (std::vector<std::string>{"kept", "kept too"}));
    EXPECT_TRUE(Channel().IsConnected());
    EXPECT_EQ(recorder.States(), std::vector<bool>{true});

    const auto failed = Logged("receive_pass_failed");
    ASSERT_EQ(failed.size(), 3u);
    EXPECT_EQ(failed[0]["level"], "error");
    EXPECT_EQ(failed[0]["component"], "websocket");
    EXPECT_EQ(failed[0]["message"],
              "WebSocket receive pass failed; the message under way is dropped and receiving goes on");
    EXPECT_EQ(failed[0]["fields"], (nlohmann::json{{"exception", "std::bad_alloc"}}));
    EXPECT_EQ(failed[1]["level"], "debug") << "a repeat within the minute";
    EXPECT_EQ(failed[1]["fields"], (nlohmann::json{{"exception", "unknown exception (not a std::exception)"}}));
    EXPECT_EQ(failed[2]["level"], "error") << "in full again after a pass that succeeded";
    EXPECT_EQ(failed[2]["fields"], (nlohmann::json{{"exception", "receive pass broke"}}));

    // Every pass fails from here on; the server's close still ends the channel.
    sim.Call("POST", "/ws/close", {{"code", 1000}});
    ASSERT_TRUE(recorder.WaitForStates(2));
    EXPECT_EQ(recorder.States(), (std::vector<bool>{true, false}));
    EXPECT_FALSE(Channel().IsConnected());
    Channel().Close();
    EXPECT_EQ(recorder.States().size(), 2u);
}

TEST_F(WebSocketTest, TheServerEndingTheChannelIsReportedOnce) {
    const struct {
        nlohmann::json action;
        const char* path;
        const char* event;
    } endings[] = {
        {{{"code", 1000}}, "/ws/close", "server_closed"},
        {{{"code", nullptr}}, "/ws/close", "server_closed"},
        // (An orderly TCP close is not among them: the simulator's TLS layer
        // holds the socket until the peer answers its close_notify, 30 s.)
        {{{"what", "websocket"}, {"mode", "reset"}}, "/connections/drop", "receive_failed"},
    };
    std::size_t states = 0;
    for (const auto& ending : endings) {
        SCOPED_TRACE(ending.action.dump());
        ASSERT_TRUE(Connect());
        WaitForServerChannels(1);
        sim.Call("POST", ending.path, ending.action);
        states += 2;
        ASSERT_TRUE(recorder.WaitForStates(states));
        EXPECT_FALSE(Channel().IsConnected());
        EXPECT_FALSE(Logged(ending.event).empty());
        Channel().Close();  // the receive thread reported the end already
        EXPECT_EQ(recorder.States().size(), states);
        WaitForServerChannels(0);
    }
    EXPECT_EQ(recorder.States(), (std::vector<bool>{true, false, true, false, true, false}));
    for (const auto& failure : Logged("receive_failed")) {
        const int code = failure["fields"]["win32_error"];
        EXPECT_TRUE(code == 12030 || code == 12152 || code == 10054) << code;
    }
}

TEST_F(WebSocketTest, AnUpgradeAnsweredWithoutAProtocolSwitchFails) {
    for (const int status : {401, 404, 200}) {
        SCOPED_TRACE(status);
        sim.Call("POST", "/ws/refuse", {{"status", status}});
        EXPECT_FALSE(Connect());
        EXPECT_FALSE(Channel().IsConnected());
    }
    const auto failed = Logged("upgrade_failed");
    ASSERT_EQ(failed.size(), 3u);
    EXPECT_EQ(failed[0]["fields"]["status_code"], 401);
    EXPECT_EQ(failed[1]["fields"]["status_code"], 404);

    // A token the server does not know is refused the same way.
    EXPECT_FALSE(Channel().Connect(Simulator::kHost, sim.Port(), "not-a-token", false, sim.Thumbprint()));
    EXPECT_EQ(Logged("upgrade_failed").size(), 4u);
    // A redirect is refused, not followed: nothing arrives where it points.
    const std::string elsewhere = "127.0.0.1:" + std::to_string(sim.Port());
    sim.AddFault("/api/corvanta/events",
                 {{"status", 302}, {"body", ""}, {"headers", {{"Location", "https://" + elsewhere + "/api/corvanta/doors"}}}});
    EXPECT_FALSE(Connect());
    const auto redirected = Logged("redirect_refused");
    ASSERT_EQ(redirected.size(), 1u);
    EXPECT_EQ(redirected[0]["component"], "websocket");
    EXPECT_EQ(redirected[0]["fields"], (nlohmann::json{{"status_code", 302}, {"redirect_to", elsewhere}}));
    EXPECT_TRUE(sim.Requests("/api/corvanta/doors").empty());
    // With validation on, the self-signed certificate ends it before the upgrade.
    EXPECT_FALSE(Connect(true));
    EXPECT_EQ(Logged("request_send_failed").size(), 1u);

    EXPECT_TRUE(recorder.States().empty());
    EXPECT_EQ(sim.Call("GET", "/ws/clients").at("count"), 0);
}

TEST_F(WebSocketTest, CloseReturnsAlthoughTheServerNeverAnswersItsCloseFrame) {
    sim.Call("POST", "/config", {{"ws_answer_client_close", false}});
    ASSERT_TRUE(Connect());
    WaitForServerChannels(1);

    // Close on another thread; under Wine the blocked receive never returns here.
    UniqueHandle closed(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::thread closer([&] {
        Channel().Close();
        ::SetEvent(closed.get());
    });
    const DWORD waited = ::WaitForSingleObject(closed.get(), 15000);
    closer.join();
    ASSERT_EQ(waited, WAIT_OBJECT_0) << "Close did not return";
    EXPECT_EQ(recorder.States(), (std::vector<bool>{true, false}));

    // The server got status 1000 and still holds the channel open.
    const auto clients = sim.Call("GET", "/ws/clients").at("clients");
    ASSERT_EQ(clients.size(), 1u);
    EXPECT_EQ(clients[0]["received"].at(0), (nlohmann::json{{"type", "close"}, {"code", 1000}}));

    // A new connection works, and the thread left behind reports nothing when
    // its connection finally drops.
    ASSERT_TRUE(Connect());
    WaitForServerChannels(2);
    sim.Call("POST", "/connections/drop", {{"what", "websocket"}, {"mode", "reset"}});
    ASSERT_TRUE(recorder.WaitForStates(4));
    WaitForServerChannels(0);
    Send({{"text", "nobody listens"}});
    EXPECT_EQ(recorder.States(), (std::vector<bool>{true, false, true, false}));
    EXPECT_TRUE(recorder.Messages().empty());
}

TEST_F(WebSocketTest, ConnectAndCloseFromTwoThreadsKeepTheStateReportsInOrder) {
    Channel();
    std::thread closer([&] {
        for (int i = 0; i < 15; ++i) Channel().Close();
    });
    for (int i = 0; i < 15; ++i) Connect();
    closer.join();
    Channel().Close();

    const auto states = recorder.States();
    ASSERT_FALSE(states.empty());
    for (std::size_t i = 0; i < states.size(); ++i) EXPECT_EQ(states[i], i % 2 == 0) << "report " << i;
    EXPECT_FALSE(states.back());
    EXPECT_FALSE(Channel().IsConnected());
    WaitForServerChannels(0);
}

}  // namespace
}  // namespace tly::test
