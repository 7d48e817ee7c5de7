#include "transport/TLYRestClient.h"
#include "transport/TokenBackoff.h"

#include "api/HostCallBudget.h"
#include "transport/RequestLimits.h"
#include "transport/TLYWebSocket.h"
#include "transport/WinHttpSupport.h"

#include "tests/support/CommittedMemory.h"
#include "tests/support/ManualClock.h"
#include "tests/transport/TransportTestSupport.h"

#include <windows.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>

#include <regex>
#include <thread>

namespace tly::test {
namespace {

class RestClientTest : public TransportTest {
protected:
    bool Initialize(bool validateCert = false) { return client.Initialize(Simulator::kHost, sim.Port(), validateCert); }
    bool Authenticate() { return client.Authenticate(sim.ClientId(), sim.ClientSecret()); }
    std::size_t TokenRequests() { return sim.Requests("/auth/token").size(); }

    TLYRestClient client;
};

TEST_F(RestClientTest, AuthenticatesAndSendsTheBearerTokenUnderTheBasePath) {
    ASSERT_TRUE(Initialize());
    ASSERT_TRUE(Authenticate());
    const std::string token = client.AccessToken();
    ASSERT_FALSE(token.empty());

    std::string response;
    ASSERT_TRUE(client.GetWithRetry("/status", response)) << response;
    EXPECT_EQ(nlohmann::json::parse(response).value("status", ""), "ok");

    const auto tokenRequest = sim.Requests("/auth/token").at(0);
    EXPECT_EQ(tokenRequest.at("method"), "POST");
    EXPECT_EQ(tokenRequest.at("body"), R"({"grant_type":"client_credentials","client_id":")" + sim.ClientId() +
                                            R"(","client_secret":")" + sim.ClientSecret() + R"("})");
    EXPECT_EQ(tokenRequest.at("headers").value("Content-Type", ""), "application/json");
    EXPECT_EQ(tokenRequest.at("headers").value("User-Agent", ""), "Tallyport-Corvanta-Translator/1.0");

    const auto statusRequest = sim.Requests("/api/corvanta/status").at(0);
    EXPECT_EQ(statusRequest.at("method"), "GET");
    EXPECT_EQ(statusRequest.at("headers").value("Authorization", ""), "Bearer " + token);

    const auto success = Logged("auth_success");
    ASSERT_EQ(success.size(), 1u);
    EXPECT_EQ(success[0]["component"], "rest_client");
    EXPECT_EQ(success[0]["fields"]["expires_in"], 3600);
    ASSERT_EQ(Logged("initialized").size(), 1u);
    EXPECT_EQ(Logged("initialized")[0]["fields"]["validate_cert"], false);
    ASSERT_EQ(Logged("request_outbound").size(), 1u);
    EXPECT_EQ(Logged("request_outbound")[0]["message"], "GET /status");
    EXPECT_EQ(Logged("response_received")[0]["message"], "Response 200 /status");
}

TEST_F(RestClientTest, PostSendsAnEmptyBodyWithTheTokenAndNoContentType) {
    ASSERT_TRUE(Initialize());
    ASSERT_TRUE(Authenticate());
    std::string response;
    ASSERT_TRUE(client.PostWithRetry("/activities/batch_processed?ids=1001,1002", response)) << response;

    const auto post = sim.Requests("/api/corvanta/activities/batch_processed").at(0);
    EXPECT_EQ(post.at("method"), "POST");
    EXPECT_EQ(post.at("query"), "ids=1001,1002");
    EXPECT_EQ(post.at("body_length"), 0);
    EXPECT_FALSE(post.at("headers").contains("Content-Type"));
    EXPECT_EQ(post.at("headers").value("Authorization", ""), "Bearer " + client.AccessToken());
    EXPECT_EQ(Logged("post_outbound")[0]["message"], "POST /activities/batch_processed?ids=1001,1002");
}

TEST_F(RestClientTest, CredentialsThatNeedJsonEscapesStillMakeAValidBody) {
    const std::string id = "client \"one\" \\ caf\xC3\xA9";
    const std::string secret = "se\"cr\\et\n\t\x01/";
    sim.Call("POST", "/config", {{"client_id", id}, {"client_secret", secret}});
    ASSERT_TRUE(Initialize());
    ASSERT_TRUE(client.Authenticate(id, secret));

    const nlohmann::json body = nlohmann::json::parse(sim.Requests("/auth/token").at(0).at("body").get<std::string>());
    EXPECT_EQ(body, (nlohmann::json{{"grant_type", "client_credentials"}, {"client_id", id}, {"client_secret", secret}}));
}

TEST_F(RestClientTest, OnlyStatus200IsSuccess) {
    ASSERT_TRUE(Initialize());
    ASSERT_TRUE(Authenticate());
    const struct {
        int status;
        std::string body;
    } answers[] = {{201, "created"}, {204, ""}, {500, "boom"}};
    for (const auto& answer : answers) {
        SCOPED_TRACE(answer.status);
        const std::string expected = "HTTP " + std::to_string(answer.status) + ": " + answer.body;
        std::string response;
        std::uint32_t status = 0;
        sim.AddFault("/api/corvanta/doors", {{"status", answer.status}, {"body", answer.body}});
        EXPECT_FALSE(client.Get("/doors", response, status));
        EXPECT_EQ(status, static_cast<std::uint32_t>(answer.status));
        EXPECT_EQ(response, expected);

        sim.AddFault("/api/corvanta/activities/batch_processed", {{"status", answer.status}, {"body", answer.body}});
        EXPECT_FALSE(client.Post("/activities/batch_processed?ids=1", response, status));
        EXPECT_EQ(response, expected);
    }
    const auto getLines = Logged("response_status_not_ok");
    ASSERT_EQ(getLines.size(), 3u);
    EXPECT_EQ(getLines[2]["fields"],
              (nlohmann::json{{"endpoint", "/doors"}, {"status_code", 500}, {"response", "HTTP 500: boom"}}));
    const auto postLines = Logged("post_status_not_ok");
    ASSERT_EQ(postLines.size(), 3u);
    EXPECT_EQ(postLines[0]["fields"],
              (nlohmann::json{{"endpoint", "/activities/batch_processed?ids=1"}, {"status_code", 201}}));

    // An empty body with 200 is a success with an empty response.
    sim.AddFault("/api/corvanta/doors", {{"status", 200}, {"body", ""}});
    std::string response = "stale";
    std::uint32_t status = 0;
    EXPECT_TRUE(client.Get("/doors", response, status));
    EXPECT_EQ(response, "");
}

TEST_F(RestClientTest, A401IsAnsweredByOneReauthenticationWithTheStoredCredentials) {
    ASSERT_TRUE(Initialize());
    ASSERT_TRUE(Authenticate());
    const std::string firstToken = client.AccessToken();

    sim.Call("POST", "/tokens/revoke");
    std::string response;
    EXPECT_TRUE(client.GetWithRetry("/doors", response)) << response;
    EXPECT_EQ(TokenRequests(), 2u);
    EXPECT_NE(client.AccessToken(), firstToken);

    sim.Call("POST", "/tokens/revoke");
    EXPECT_TRUE(client.PostWithRetry("/activities/batch_processed?ids=1", response)) << response;
    EXPECT_EQ(TokenRequests(), 3u);

    const auto retries = Logged("auth_retry");
    ASSERT_EQ(retries.size(), 2u);
    EXPECT_EQ(retries[0]["message"], "Token expired on GET, re-authenticating");
    EXPECT_EQ(retries[1]["message"], "Token expired on POST, re-authenticating");
    EXPECT_EQ(retries[1]["fields"]["endpoint"], "/activities/batch_processed?ids=1");
}

TEST_F(RestClientTest, A401IsNotRetriedTwiceNorWithoutCredentials) {
    ASSERT_TRUE(Initialize());
    std::string response;
    // No credentials were ever given: nothing to re-authenticate with.
    EXPECT_FALSE(client.GetWithRetry("/doors", response));
    EXPECT_EQ(response.rfind("HTTP 401: ", 0), 0u) << response;
    EXPECT_EQ(TokenRequests(), 0u);

    ASSERT_TRUE(Authenticate());
    sim.AddFault("/api/corvanta/doors", {{"status", 401}, {"body", "still no"}, {"count", 2}});
    EXPECT_FALSE(client.GetWithRetry("/doors", response));
    EXPECT_EQ(response, "HTTP 401: still no");
    EXPECT_EQ(TokenRequests(), 2u);
    EXPECT_EQ(sim.Requests("/api/corvanta/doors").size(), 3u);
}

TEST_F(RestClientTest, UnusableTokenResponsesFailAuthentication) {
    ASSERT_TRUE(Initialize());
    const struct {
        const char* body;
        const char* event;
    } answers[] = {
        {"{not json", "auth_parse_failed"},
        {R"([1,2])", "auth_parse_failed"},
        {R"({"access_token":null})", "auth_parse_failed"},
        {R"({"access_token":42})", "auth_parse_failed"},
        {R"({"token_type":"Bearer"})", "auth_no_token"},
        {R"({"access_token":""})", "auth_no_token"},
        {R"({"access_token":"t","expires_in":"3600"})", "auth_parse_failed"},
        {R"({"access_token":"t","expires_in":null})", "auth_parse_failed"},
    };
    for (const auto& answer : answers) {
        SCOPED_TRACE(answer.body);
        sim.AddFault("/auth/token", {{"status", 200}, {"body", answer.body}});
        EXPECT_FALSE(Authenticate());
        EXPECT_EQ(Logged(answer.event).size(), 1u);
        // An answer that cannot be read whole leaves no token behind to be sent.
        EXPECT_EQ(client.AccessToken(), "");
        ASSERT_NO_FATAL_FAILURE(dir.Write("tly_translator.log", ""));
    }

    // A token in an answer that cannot be used is described by its shape, never quoted.
    constexpr char kToken[] = "tkn-7f3a9c2e51";
    const struct {
        int status;
        std::string body;
        std::string shape;  // the "shape" field; empty: not checked
    } withToken[] = {
        {200, std::string(R"({"access_token":")") + kToken, ""},  // cut short: the parser's text would quote it
        {200, std::string(R"({"access_token":")") + kToken + R"(","expires_in":")" + kToken + R"("})",
         R"(object of 2 members, 63 bytes: "access_token" string (14 bytes), "expires_in" string (14 bytes))"},
        {200, std::string(R"({"access_token":[")") + kToken + R"("],")" + kToken + R"(":1})",
         R"(object of 2 members, 54 bytes: "access_token" array of 1 elements, (a name of 14 bytes) number)"},
        {200, std::string(R"({"access_token":")") + kToken + R"(","expires_in":1e999})", ""},
        {201, std::string(R"({"access_token":")") + kToken + R"("})", ""},
        {400, std::string(R"({"error":"invalid_request","token":")") + kToken + R"("})", ""},
    };
    for (const auto& answer : withToken) {
        SCOPED_TRACE(answer.body);
        sim.AddFault("/auth/token", {{"status", answer.status}, {"body", answer.body}});
        EXPECT_FALSE(Authenticate());
        const auto lines = Logged(answer.status == 200 ? "auth_parse_failed" : "auth_failed");
        ASSERT_EQ(lines.size(), 1u);
        if (!answer.shape.empty()) {
            EXPECT_EQ(lines[0]["fields"]["shape"], answer.shape);
        }
        std::ifstream log(dir.File("tly_translator.log"));
        const std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
        EXPECT_EQ(text.find(kToken), std::string::npos) << text;
        ASSERT_NO_FATAL_FAILURE(dir.Write("tly_translator.log", ""));
    }

    // Refused credentials: the status and the body are logged, no token is held.
    EXPECT_FALSE(client.Authenticate("someone", "wrong"));
    const auto failed = Logged("auth_failed");
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0]["fields"]["status_code"], 401);
    EXPECT_NE(failed[0]["fields"]["response"].get<std::string>().find("invalid_client"), std::string::npos);
    EXPECT_EQ(client.AccessToken(), "");
}

// Refused token requests wait about 2, 4, 8 ... s, never more than the cap,
// each within a quarter either side; a success or other credentials end it.
TEST(TokenBackoff, WaitsDoubleWithJitterUpToTheCapUntilASuccessOrOtherCredentials) {
    for (const std::uint32_t jitterStart : {0u, 1u, 0xDEADBEEFu, 4242u}) {
        SCOPED_TRACE(jitterStart);
        tly::TokenBackoff backoff(jitterStart);
        const std::string credentials = std::string("id") + '\0' + "secret";
        std::uint32_t now = 0xFFFFF000u;  // waits run across a wrap of the tick count
        EXPECT_EQ(backoff.RemainingMs(now, credentials), 0u);
        std::uint32_t base = tly::TokenBackoff::kFirstMs;
        for (int refusal = 1; refusal <= 12; ++refusal) {
            const std::uint32_t wait = backoff.Refused(now, credentials);
            EXPECT_GE(wait, base - base / 4) << refusal;
            EXPECT_LE(wait, base + base / 4) << refusal;
            EXPECT_LE(wait, tly::TokenBackoff::kMostMs);
            EXPECT_EQ(backoff.RemainingMs(now + wait - 1, credentials), 1u);
            EXPECT_EQ(backoff.RemainingMs(now + 1, std::string("id") + '\0' + "corrected"), 0u);
            now += wait;
            EXPECT_EQ(backoff.RemainingMs(now, credentials), 0u);
            base = std::min(base * 2, tly::TokenBackoff::kLongestMs);
        }
        backoff.Succeeded();
        EXPECT_EQ(backoff.RemainingMs(now, credentials), 0u);
        const std::uint32_t first = backoff.Refused(now, credentials);
        EXPECT_LE(first, tly::TokenBackoff::kFirstMs + tly::TokenBackoff::kFirstMs / 4) << "a success starts afresh";
        // Refusals of other credentials start afresh too.
        EXPECT_LE(backoff.Refused(now, std::string("id") + '\0' + "other"),
                  tly::TokenBackoff::kFirstMs + tly::TokenBackoff::kFirstMs / 4);
    }
}

TEST_F(RestClientTest, RefreshPointIsThreeQuartersOfTheLifetime) {
    const struct {
        nlohmann::json expiresIn;
        std::uint32_t refreshAfterMs;
    } lifetimes[] = {
        {3600, 2700000},
        {1.9, 750},             // a fraction is truncated
        {true, 750},            // a boolean counts as 1
        {1e12, 2147483647u},    // capped
        {5000000, 2147483647u}, // 3750000000 ms does not fit
        {2863311, 2147483250u}, // the longest lifetime whose three quarters still fit
        {std::uint64_t{18446744073709551615u}, 2147483647u},  // held at the end of 64 bits, not wrapped
        {9.5e18, 2147483647u},
    };
    ASSERT_TRUE(Initialize());
    for (const auto& lifetime : lifetimes) {
        SCOPED_TRACE(lifetime.expiresIn.dump());
        ManualClock clock;
        sim.AddFault("/auth/token", {{"status", 200},
                                     {"body", nlohmann::json{{"access_token", "t"}, {"expires_in", lifetime.expiresIn}}
                                                  .dump()}});
        ASSERT_TRUE(Authenticate());
        const std::size_t before = TokenRequests();
        clock.Advance(lifetime.refreshAfterMs - 1);
        EXPECT_TRUE(client.RefreshTokenIfDue());
        EXPECT_EQ(TokenRequests(), before);
        clock.Advance(1);
        EXPECT_TRUE(client.RefreshTokenIfDue());
        EXPECT_EQ(TokenRequests(), before + 1);
    }
    EXPECT_EQ(Logged("token_refresh").size(), std::size(lifetimes));
}

TEST_F(RestClientTest, DueTokenIsRenewedBeforeTheRequestAcrossATickWrap) {
    ManualClock clock(0xFFFFFFFFu - 1000);  // the token is obtained 1 s before the tick count wraps
    ASSERT_TRUE(Initialize());
    ASSERT_TRUE(Authenticate());
    std::string response;

    clock.Advance(2699999);
    ASSERT_TRUE(client.GetWithRetry("/status", response));
    EXPECT_EQ(TokenRequests(), 1u);

    clock.Advance(1);
    ASSERT_TRUE(client.GetWithRetry("/status", response));
    const auto tokens = sim.Requests("/auth/token");
    const auto statuses = sim.Requests("/api/corvanta/status");
    ASSERT_EQ(tokens.size(), 2u);
    ASSERT_EQ(statuses.size(), 2u);
    EXPECT_LT(tokens[1]["seq"], statuses[1]["seq"]);
    EXPECT_EQ(statuses[1]["response_status"], 200);
    EXPECT_EQ(Logged("token_refresh").size(), 1u);
}

TEST_F(RestClientTest, TokenWithoutAPositiveLifetimeIsNeverRenewedAhead) {
    ManualClock clock;
    ASSERT_TRUE(Initialize());
    const nlohmann::json lifetimes[] = {nlohmann::json(), 0, -5, false, -0.9, -9.5e18};
    for (const nlohmann::json& expiresIn : lifetimes) {
        SCOPED_TRACE(expiresIn.dump());
        nlohmann::json token = {{"access_token", "t"}};
        if (!expiresIn.is_null()) token["expires_in"] = expiresIn;
        sim.AddFault("/auth/token", {{"status", 200}, {"body", token.dump()}});
        ASSERT_TRUE(Authenticate());
        clock.Advance(0x7FFFFFFF);
        EXPECT_TRUE(client.RefreshTokenIfDue());
    }
    EXPECT_EQ(TokenRequests(), std::size(lifetimes));
    EXPECT_TRUE(Logged("token_refresh").empty());
}

// Whatever the server does with an answer, a request ends by its deadline
// (here a host call's budget of 1.5 s) and holds no more than its endpoint's
// cap; each way of ending has a line of its own. Unbounded, each of these
// would hold the request for 20 s or more, or grow without end.
TEST_F(RestClientTest, AMisbehavingAnswerEndsByItsDeadlineOrItsCap) {
    ASSERT_TRUE(Initialize());
    ASSERT_TRUE(Authenticate());
    struct Case {
        const char* name;
        const char* endpoint;
        nlohmann::json fault;
        const char* event;
    };
    const Case cases[] = {
        {"slow answer", "/doors", {{"delay_ms", 20000}}, "deadline_exceeded"},
        {"stalled after the headers", "/doors",
         {{"action", "stall_after_headers"}, {"body", std::string(2000, ' ')}, {"stall_after_bytes", 10}},
         "deadline_exceeded"},
        {"dripped body", "/doors", {{"action", "drip"}, {"interval_ms", 200}, {"body", std::string(100, ' ')}},
         "deadline_exceeded"},
        {"announced too large", "/status", {{"action", "oversized"}, {"size_bytes", 400 << 20}},
         "response_too_large"},
        {"too large, no length", "/status",
         {{"action", "oversized"}, {"size_bytes", 2 << 20}, {"announce_length", false}}, "response_too_large"},
        {"endless", "/status", {{"action", "endless"}}, "response_too_large"},
    };
    std::map<std::string, size_t> lines;
    for (const Case& each : cases) {
        SCOPED_TRACE(each.name);
        sim.AddFault(std::string("/api/corvanta") + each.endpoint, each.fault);
        std::string response;
        std::uint32_t status = 0;
        const DWORD startedAt = ::GetTickCount();
        {
            const HostCallBudget budget(1500);
            EXPECT_FALSE(client.Get(each.endpoint, response, status));
        }
        EXPECT_LT(::GetTickCount() - startedAt, 8000u);
        const auto logged = Logged(each.event);
        ASSERT_EQ(logged.size(), ++lines[each.event]);
        EXPECT_EQ(logged.back()["fields"]["endpoint"], each.endpoint);
        sim.Call("POST", "/faults/clear");
    }
    const auto tooLarge = Logged("response_too_large");
    EXPECT_EQ(tooLarge[0]["fields"]["cap_bytes"], 1u << 20);
    EXPECT_EQ(tooLarge[0]["fields"]["announced_bytes"], 400u << 20);
    EXPECT_EQ(Logged("deadline_exceeded")[0]["fields"]["deadline_ms"], 1500);
    EXPECT_EQ(client.LastTrouble().cause, TroubleCause::Other);

    // The client is none the worse: the next answer is taken whole.
    std::string response;
    EXPECT_TRUE(client.GetWithRetry("/status", response)) << response;
}

// An endless answer from the endpoint with the largest cap grows the process
// by no more than twice that cap while it is refused.
TEST_F(RestClientTest, AnEndlessAnswerHoldsNoMoreThanItsCap) {
    ASSERT_TRUE(Initialize());
    ASSERT_TRUE(Authenticate());
    sim.AddFault("/api/corvanta/doors", {{"action", "endless"}});
    const std::uint64_t before = CommittedPrivateBytes();
    std::string response;
    std::uint32_t status = 0;
    CommittedPeak peak;
    EXPECT_FALSE(client.Get("/doors", response, status));
    const std::uint64_t most = peak.Stop();
    ASSERT_EQ(Logged("response_too_large").size(), 1u);
    EXPECT_EQ(Logged("response_too_large")[0]["fields"]["cap_bytes"], tly::kSiteListCapBytes);
    EXPECT_GT(most - before, tly::kSiteListCapBytes / 2) << "the answer was not read up to its cap";
    EXPECT_LE(most - before, 2 * tly::kSiteListCapBytes);
}

// A close never waits for a request under way, and never pulls its handles
// from under it: the request ends at its next step (a dripped body's next
// piece) as failed, and later requests find the client closed.
TEST_F(RestClientTest, ACloseStopsARequestUnderWayAtItsNextStep) {
    ASSERT_TRUE(Initialize());
    ASSERT_TRUE(Authenticate());
    sim.AddFault("/api/corvanta/doors", {{"action", "drip"}, {"interval_ms", 200}, {"body", std::string(200, ' ')}});
    bool succeeded = true;
    std::string response;
    std::thread requesting([&] {
        std::uint32_t status = 0;
        succeeded = client.Get("/doors", response, status);
    });
    ASSERT_TRUE(sim.WaitForRequests("/api/corvanta/doors", 1).size() == 1u);
    const DWORD startedAt = ::GetTickCount();
    client.Close();
    EXPECT_LT(::GetTickCount() - startedAt, 1000u) << "the close waited for the request";
    requesting.join();
    EXPECT_FALSE(succeeded);
    EXPECT_EQ(response, "REST client closed");
    EXPECT_EQ(Logged("request_stopped").size(), 1u);
    std::uint32_t status = 0;
    EXPECT_FALSE(client.Get("/doors", response, status));
    EXPECT_EQ(response, "REST client not initialized");
}

TEST_F(RestClientTest, TransportFailuresFailTheRequestWithTheirErrorCode) {
    ASSERT_TRUE(Initialize());
    ASSERT_TRUE(Authenticate());
    client.SetRequestCeilingForTesting(1000);
    std::string response;
    std::uint32_t status = 0;

    // A server that accepts and never answers: the request ends by its deadline.
    sim.AddFault("/api/corvanta/doors", {{"action", "hang"}});
    EXPECT_FALSE(client.Get("/doors", response, status));
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(response.rfind("Request ran out of time after ", 0), 0u) << response;
    EXPECT_EQ(client.LastTrouble().cause, TroubleCause::TimedOut);

    // A connection closed inside the body fails the request; the shorter body
    // is not an answer. (The simulator's TLS close may wait for a close_notify
    // answer, so the read may end by the deadline rather than the end of file.)
    const std::string body(100000, 'x');
    sim.AddFault("/api/corvanta/doors", {{"action", "drop_mid_body"}, {"body", body}});
    EXPECT_FALSE(client.Get("/doors", response, status));
    EXPECT_EQ(status, 200u);
    EXPECT_TRUE(std::regex_match(response, std::regex("WinHttpReadData failed, error=[0-9]+|Request ran out of time.*")))
        << response;
    EXPECT_EQ(Logged("response_read_failed").size() + Logged("deadline_exceeded").size(), 2u);
    // A reset may overtake the headers, so it fails either while reading them or the body.
    sim.AddFault("/api/corvanta/doors", {{"action", "drop_mid_body"}, {"cut_mode", "reset"}, {"body", body}});
    EXPECT_FALSE(client.Get("/doors", response, status));
    EXPECT_TRUE(std::regex_match(response, std::regex("WinHttp(ReceiveResponse|ReadData) failed, error=[0-9]+")))
        << response;
    sim.AddFault("/auth/token", {{"action", "drop_mid_body"}});
    const size_t cutBefore = Logged("deadline_exceeded").size();
    EXPECT_FALSE(Authenticate());
    EXPECT_EQ(Logged("auth_receive_failed").size() + Logged("deadline_exceeded").size() - cutBefore, 1u);

    // Nothing listens on the port any more.
    sim.Call("POST", "/server/stop");
    EXPECT_FALSE(client.Get("/doors", response, status));
    EXPECT_EQ(response, "WinHttpSendRequest failed, error=12029");
    const auto sendFailed = Logged("request_send_failed");
    ASSERT_EQ(sendFailed.size(), 1u);
    EXPECT_EQ(sendFailed[0]["fields"], (nlohmann::json{{"endpoint", "/doors"},
                                                         {"win32_error", 12029},
                                                         {"win32_error_name", "ERROR_WINHTTP_CANNOT_CONNECT"}}));
}

TEST_F(RestClientTest, ValidationOnRefusesTheSelfSignedServerBeforeAnythingIsSent) {
    ASSERT_TRUE(Initialize(true));
    EXPECT_FALSE(Authenticate());
    std::string response;
    std::uint32_t status = 0;
    EXPECT_FALSE(client.Get("/status", response, status));
    // 12157 under Wine, 12175 on Windows.
    EXPECT_TRUE(response == "WinHttpSendRequest failed, error=12157" ||
                response == "WinHttpSendRequest failed, error=12175")
        << response;
    EXPECT_EQ(Logged("auth_send_failed").size(), 1u);
    EXPECT_TRUE(sim.Requests("/auth/token").empty());
    EXPECT_TRUE(Logged("cert.thumbprint_pinned").empty());
}

TEST_F(RestClientTest, ARedirectIsRefusedNamingItsStatusAndTargetAndNotFollowed) {
    ASSERT_TRUE(Initialize());
    ASSERT_TRUE(Authenticate());
    const std::string self = "127.0.0.1:" + std::to_string(sim.Port());
    const struct {
        int status;
        std::string location;
        std::string target;  // as the error text names it
    } answers[] = {
        {302, "https://" + self + "/api/corvanta/doors", self},
        {301, "https://other.example:8443/api/corvanta/doors", "other.example:8443"},
        {307, "https://user:pw@other.example/x?access_token=abc", "other.example"},  // no credentials
        {308, "/api/corvanta/doors", "the same server"},
    };
    for (const auto& answer : answers) {
        SCOPED_TRACE(answer.location);
        sim.AddFault("/api/corvanta/status",
                     {{"status", answer.status}, {"body", ""}, {"headers", {{"Location", answer.location}}}});
        std::string response;
        std::uint32_t status = 0;
        EXPECT_FALSE(client.Get("/status", response, status));
        EXPECT_EQ(status, static_cast<std::uint32_t>(answer.status));
        EXPECT_EQ(response, "HTTP " + std::to_string(answer.status) + ": redirect to " + answer.target + " refused");
        const auto refused = Logged("redirect_refused");
        ASSERT_FALSE(refused.empty());
        EXPECT_EQ(refused.back()["level"], "error");
        EXPECT_EQ(refused.back()["fields"], (nlohmann::json{{"endpoint", "/status"},
                                                             {"status_code", answer.status},
                                                             {"redirect_to", answer.target}}));
        const TransportTrouble trouble = client.LastTrouble();
        EXPECT_EQ(trouble.cause, TroubleCause::RedirectRefused);
        EXPECT_EQ(DescribeTrouble(trouble), "redirect refused (redirects are never followed) (HTTP " +
                                                std::to_string(answer.status) + ") on /status");
    }
    // The token request and a POST are refused alike, and a 401 is not retried through one.
    sim.AddFault("/auth/token", {{"status", 302}, {"body", ""}, {"headers", {{"Location", answers[0].location}}}});
    EXPECT_FALSE(Authenticate());
    EXPECT_EQ(client.LastTrouble().cause, TroubleCause::RedirectRefused);
    ASSERT_TRUE(Authenticate());
    sim.AddFault("/api/corvanta/activities/batch_processed",
                 {{"status", 303}, {"body", ""}, {"headers", {{"Location", answers[0].location}}}});
    std::string response;
    EXPECT_FALSE(client.PostWithRetry("/activities/batch_processed?ids=1", response));
    EXPECT_EQ(response, "HTTP 303: redirect to " + self + " refused");
    EXPECT_EQ(Logged("redirect_refused").size(), std::size(answers) + 2);
    // Nothing arrived where the redirects pointed.
    EXPECT_TRUE(sim.Requests("/api/corvanta/doors").empty());
}

TEST_F(RestClientTest, AServerOfferingLessThanTls12IsRefusedAsAVersionNotAccepted) {
    // Capped before any connection is made: a kept-alive one the cap cut
    // would fail its next request as a lost connection instead.
    ASSERT_TRUE(Initialize());
    for (const char* maximum : {"1.1", "1.0"}) {
        SCOPED_TRACE(maximum);
        sim.Call("POST", "/tls", {{"maximum", maximum}});
        const std::size_t tokenRequests = TokenRequests();
        EXPECT_FALSE(Authenticate());
        EXPECT_EQ(TokenRequests(), tokenRequests);  // no request reached the server
        const TransportTrouble trouble = client.LastTrouble();
        EXPECT_EQ(trouble.cause, TroubleCause::TlsVersionRefused);
        EXPECT_NE(DescribeTrouble(trouble).find("TLS version not accepted"), std::string::npos)
            << DescribeTrouble(trouble);
        std::string response;
        std::uint32_t status = 0;
        EXPECT_FALSE(client.Get("/status", response, status));
        EXPECT_EQ(client.LastTrouble().cause, TroubleCause::TlsVersionRefused);
        EXPECT_EQ(TroubleCauseName(client.LastTrouble().cause), std::string("tls_version_refused"));

        // The event channel alike.
        TLYWebSocket channel;
        EXPECT_FALSE(channel.Connect(Simulator::kHost, sim.Port(), "token", false, sim.Thumbprint()));
    }
    EXPECT_TRUE(sim.Requests("/api/corvanta/events").empty());
    for (const char* component : {"rest_client", "websocket"}) {
        const auto failed = Logged("request_send_failed");
        EXPECT_EQ(std::count_if(failed.begin(), failed.end(), [&](const auto& line) { return line["component"] == component; }), 2)
            << component;
    }

    // A server that offers TLS 1.2 again is welcome.
    sim.Call("POST", "/tls", {{"maximum", nullptr}});
    EXPECT_TRUE(Authenticate());
}

TEST_F(RestClientTest, AThousandRequestsLeaveNoHandleBehind) {
    ASSERT_TRUE(Initialize());
    ASSERT_TRUE(Authenticate());
    std::string response;
    // Every tenth request is refused by the pin, whose handle the check closes.
    auto request = [&](int i) {
        client.SetPinnedThumbprint(i % 10 == 0 ? sim.AlternateThumbprint() : sim.Thumbprint());
        return client.GetWithRetry("/status", response) == (i % 10 != 0);
    };
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(request(i)) << response;  // warm up the process's lazy handles

    DWORD before = 0;
    ASSERT_TRUE(::GetProcessHandleCount(::GetCurrentProcess(), &before));
    int unexpected = 0;
    for (int i = 0; i < 1000; ++i) unexpected += request(i) ? 0 : 1;
    DWORD after = 0;
    ASSERT_TRUE(::GetProcessHandleCount(::GetCurrentProcess(), &after));
    EXPECT_EQ(unexpected, 0);
    EXPECT_LE(after, before + 5) << "handles before " << before << ", after " << after;
}

TEST_F(RestClientTest, RequestsRacingAuthenticationSeeAWholeTokenOrNone) {
    ASSERT_TRUE(Initialize());
    ASSERT_TRUE(Authenticate());
    std::thread authenticator([&] {
        for (int i = 0; i < 40; ++i) Authenticate();
    });
    int unexpected = 0;
    for (int i = 0; i < 120; ++i) {
        std::string response;
        // Between a clearing and a new token a request may go out without
        // one, and its retry may meet the next clearing: a 401 is possible,
        // anything else is not.
        if (!client.GetWithRetry("/status", response) && response.rfind("HTTP 401: ", 0) != 0) ++unexpected;
    }
    authenticator.join();
    EXPECT_EQ(unexpected, 0);

    const std::regex wholeBearer("Bearer [A-Za-z0-9_\\-]{16,}");
    for (const auto& request : sim.Requests("/api/corvanta/status")) {
        const std::string authorization = request.at("headers").value("Authorization", "");
        if (!authorization.empty()) {
            EXPECT_TRUE(std::regex_match(authorization, wholeBearer)) << authorization;
        }
    }
    std::string response;
    EXPECT_TRUE(client.GetWithRetry("/status", response)) << response;
}

class RestClientWithoutServerTest : public LoggedTest {};

TEST_F(RestClientWithoutServerTest, AnUninitialisedClientFailsAtOnce) {
    TLYRestClient client;
    std::string response;
    std::uint32_t status = 7;
    EXPECT_FALSE(client.Get("/doors", response, status));
    EXPECT_EQ(response, "REST client not initialized");
    EXPECT_EQ(status, 0u);
    EXPECT_FALSE(client.Post("/activities/batch_processed?ids=1", response, status));
    EXPECT_EQ(response, "REST client not initialized");
    EXPECT_FALSE(client.Authenticate("id", "secret"));

    const auto skipped = Logged("request_skipped");
    ASSERT_EQ(skipped.size(), 1u);  // the POST logs nothing
    EXPECT_EQ(skipped[0]["fields"]["endpoint"], "/doors");
    EXPECT_EQ(Logged("auth_not_init").size(), 1u);
}

// What a refused redirect's text names: the server alone, never a path, a
// query or credentials, which may carry secrets.
TEST(RedirectTarget, NamesOnlyTheServerALocationPointsAt) {
    const std::pair<std::string, std::string> cases[] = {
        {"https://other.example:8443/api?access_token=t", "other.example:8443"},
        {"https://user:pw@other.example/x", "other.example"},
        {"https://a@b:c@other.example:1#f", "other.example:1"},
        {"//other.example:9/x", "other.example:9"},
        {"/api/corvanta/doors", "the same server"},
        {"/x?next=https://other.example/", "the same server"},
        {"doors", "the same server"},
        {"https:///x", "nowhere"},
        {"", "nowhere"},
    };
    for (const auto& [location, target] : cases) {
        EXPECT_EQ(RedirectTargetOf(location), target) << location;
    }
}

}  // namespace
}  // namespace tly::test
