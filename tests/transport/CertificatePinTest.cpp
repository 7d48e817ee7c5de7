#include "transport/CertificatePin.h"

#include "tests/transport/TransportTestSupport.h"
#include "transport/TLYRestClient.h"
#include "transport/TLYWebSocket.h"

#include <cctype>

namespace tly::test {
namespace {

// "ab12..." as a certificate viewer shows it: "AB:12:...", with a blank and a dash.
std::string AsShownByAViewer(const std::string& thumbprint) {
    std::string shown = " ";
    for (std::size_t i = 0; i < thumbprint.size(); ++i) {
        if (i > 0) shown += i == 20 ? "-" : ":";
        shown += static_cast<char>(std::toupper(static_cast<unsigned char>(thumbprint[i])));
    }
    return shown;
}

class CertificatePinTest : public TransportTest {
protected:
    bool Initialize() { return client.Initialize(Simulator::kHost, sim.Port(), false); }
    bool Authenticate() { return client.Authenticate(sim.ClientId(), sim.ClientSecret()); }
    bool ConnectChannel(TLYWebSocket& webSocket, const std::string& pin) {
        return webSocket.Connect(Simulator::kHost, sim.Port(), client.AccessToken(), false, pin);
    }

    TLYRestClient client;
};

TEST_F(CertificatePinTest, TheFirstCertificateSeenIsPinnedOnce) {
    ASSERT_TRUE(Initialize());
    ASSERT_TRUE(Authenticate());
    EXPECT_TRUE(client.NewlyPinned());
    EXPECT_EQ(client.ObservedThumbprint(), sim.Thumbprint());
    std::string response;
    EXPECT_TRUE(client.GetWithRetry("/status", response));

    const auto pinned = Logged("cert.thumbprint_pinned");
    ASSERT_EQ(pinned.size(), 1u);
    EXPECT_EQ(pinned[0]["component"], "rest_client");
    EXPECT_EQ(pinned[0]["level"], "warn");
    EXPECT_EQ(pinned[0]["fields"]["thumbprint"], sim.Thumbprint());

    // The owner takes the new pin for saving exactly once.
    std::string taken;
    ASSERT_TRUE(client.TakeNewlyPinned(taken));
    EXPECT_EQ(taken, sim.Thumbprint());
    EXPECT_FALSE(client.TakeNewlyPinned(taken));
}

TEST_F(CertificatePinTest, APinCopiedFromACertificateViewerMatches) {
    client.SetPinnedThumbprint(AsShownByAViewer(sim.Thumbprint()));
    ASSERT_TRUE(Initialize());
    ASSERT_TRUE(Authenticate());
    EXPECT_FALSE(client.NewlyPinned());
    EXPECT_EQ(client.ObservedThumbprint(), sim.Thumbprint());
    EXPECT_TRUE(Logged("cert.thumbprint_pinned").empty());

    TLYWebSocket webSocket;
    EXPECT_TRUE(ConnectChannel(webSocket, sim.Thumbprint()));
}

TEST_F(CertificatePinTest, AChannelWithoutAPinIsRefusedBeforeAnythingLeaves) {
    ASSERT_TRUE(Initialize());
    ASSERT_TRUE(Authenticate());
    TLYWebSocket webSocket;
    EXPECT_FALSE(ConnectChannel(webSocket, ""));
    const auto missing = Logged("pin_missing");
    ASSERT_EQ(missing.size(), 1u);
    EXPECT_EQ(missing[0]["component"], "websocket");
    EXPECT_EQ(missing[0]["level"], "error");
    EXPECT_TRUE(sim.Requests("/api/corvanta/events").empty());

    // The pin the token request took holds the channel.
    EXPECT_EQ(client.PinnedThumbprint(), sim.Thumbprint());
    EXPECT_TRUE(ConnectChannel(webSocket, client.PinnedThumbprint()));
}

TEST_F(CertificatePinTest, AnotherCertificateIsRefusedEverywhereAndNoSecretReachesIt) {
    ASSERT_TRUE(Initialize());
    ASSERT_TRUE(Authenticate());
    sim.UseCertificate("alternate");

    // The swap cut the connection the client keeps alive, and one request may
    // still go out on it (it carries the pinned certificate) and fail as a
    // dropped connection. Every other request is refused by the pin.
    int staleConnectionFailures = 0;
    auto expectRefused = [&](bool succeeded, const std::string& response) {
        EXPECT_FALSE(succeeded);
        if (response == "Certificate thumbprint mismatch") return;
        ++staleConnectionFailures;
        EXPECT_TRUE(response == "WinHttpReceiveResponse failed, error=12152" ||
                    response == "WinHttpReceiveResponse failed, error=12030")
            << response;
    };
    std::string response;
    std::uint32_t status = 99;
    for (int i = 0; i < 2; ++i) {
        expectRefused(client.Get("/status", response, status), response);
        EXPECT_EQ(status, 0u);
    }
    expectRefused(client.PostWithRetry("/activities/batch_processed?ids=1", response), response);
    EXPECT_LE(staleConnectionFailures, 1);
    EXPECT_FALSE(Authenticate());

    TLYWebSocket webSocket;
    bool stateReported = false;
    webSocket.SetStateCallback([&](bool) { stateReported = true; });
    EXPECT_FALSE(ConnectChannel(webSocket, sim.Thumbprint()));
    EXPECT_FALSE(webSocket.IsConnected());
    EXPECT_FALSE(stateReported);

    // Every refusal names both thumbprints.
    const auto mismatches = Logged("cert.thumbprint_mismatch");
    ASSERT_EQ(mismatches.size(), 5u - staleConnectionFailures);
    for (const auto& line : mismatches) {
        EXPECT_EQ(line["component"], "crypto");
        EXPECT_EQ(line["fields"], (nlohmann::json{{"expected", sim.Thumbprint()}, {"actual", sim.AlternateThumbprint()}}));
    }
    // The token request's body, which carries the secret, never left: at
    // most its headers reached the other server (they do under Wine).
    const auto tokenRequests = sim.Requests("/auth/token");
    ASSERT_GE(tokenRequests.size(), 1u);
    for (std::size_t i = 1; i < tokenRequests.size(); ++i) {
        EXPECT_EQ(tokenRequests[i]["cert"], "alternate");
        EXPECT_EQ(tokenRequests[i]["body_length"], 0);
    }
    EXPECT_LE(tokenRequests.size(), 2u);  // a refusal is not answered by re-authenticating
    sim.Call("POST", "/wait/ws_clients", {{"count", 0}, {"timeout_ms", 10000}});

    // The pin held: the original certificate is welcome again.
    sim.UseCertificate("primary");
    EXPECT_TRUE(Authenticate());
    EXPECT_TRUE(client.GetWithRetry("/status", response)) << response;
    EXPECT_TRUE(ConnectChannel(webSocket, sim.Thumbprint()));
}

}  // namespace
}  // namespace tly::test
