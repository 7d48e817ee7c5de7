#pragma once
// The REST client of the Tallyport server over WinHTTP: an OAuth token from
// "/auth/token" (client credentials), then GET and POST under "/api/corvanta"
// with the bearer token, renewed at 75% of its lifetime and once after a 401.
// With certificate validation off, every request is held to the thumbprint pin.
//
// The token's part is in RestClientToken.cpp; every request goes through the
// steps of RestExchange.h.
//
// Requests may come from several threads at once (host threads and the
// WebSocket receive thread). One mutex, stateMutex_, guards every field; it is
// a leaf, held only to copy or assign them, never across a WinHTTP call or a
// log line.
//
// Each request ends by its deadline (RequestLimits.h) and holds no more of an
// answer than its endpoint's cap. The session's handles are shared by the
// client and every request under way: Close gives up the client's share and
// marks the session closed, so each request stops at its next step and the
// handles close once the last one has; a close never waits for a request, and
// never pulls a handle from under one.

#include "platform/Mutex.h"
#include "transport/InternetHandles.h"
#include "transport/TokenBackoff.h"
#include "transport/TransportTrouble.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

struct RestVerb;
namespace tly {
struct RestExchangeRequest;
struct RestExchangeResult;
}  // namespace tly

class TLYRestClient {
public:
    TLYRestClient();
    ~TLYRestClient() { Close(); }
    TLYRestClient(const TLYRestClient&) = delete;
    TLYRestClient& operator=(const TLYRestClient&) = delete;

    bool Initialize(const std::string& host, std::uint16_t port, bool validateCert) TLY_EXCLUDES(stateMutex_);
    bool IsInitialized() const TLY_EXCLUDES(stateMutex_);
    void Close() TLY_EXCLUDES(stateMutex_);

    void ClearToken() TLY_EXCLUDES(stateMutex_);
    void SetPinnedThumbprint(const std::string& thumbprint) TLY_EXCLUDES(stateMutex_);
    bool Authenticate(const std::string& clientId, const std::string& clientSecret) TLY_EXCLUDES(stateMutex_);

    // response: the body on success, otherwise the error text; statusCode: the
    // HTTP status, 0 when no response arrived.
    bool Get(const std::string& endpoint, std::string& response, std::uint32_t& statusCode) TLY_EXCLUDES(stateMutex_);
    bool Post(const std::string& endpoint, std::string& response, std::uint32_t& statusCode) TLY_EXCLUDES(stateMutex_);
    bool GetWithRetry(const std::string& endpoint, std::string& response) TLY_EXCLUDES(stateMutex_);
    bool PostWithRetry(const std::string& endpoint, std::string& response) TLY_EXCLUDES(stateMutex_);
    bool RefreshTokenIfDue() TLY_EXCLUDES(stateMutex_);

    std::string AccessToken() const TLY_EXCLUDES(stateMutex_);
    // The HTTP status of the last token request; 0 when no answer arrived.
    std::uint32_t LastAuthenticationStatus() const TLY_EXCLUDES(stateMutex_);
    // The pin requests are held to with validation off; empty: the next
    // certificate seen is pinned.
    std::string PinnedThumbprint() const TLY_EXCLUDES(stateMutex_);
    std::string ObservedThumbprint() const TLY_EXCLUDES(stateMutex_);
    bool NewlyPinned() const TLY_EXCLUDES(stateMutex_);
    // Reads and clears newlyPinned in one step, so a pin is handed out for
    // saving once; thumbprint receives the observed thumbprint when it was set.
    bool TakeNewlyPinned(std::string& thumbprint) TLY_EXCLUDES(stateMutex_);

    // Why the last request that failed did, until one gets through again.
    TransportTrouble LastTrouble() const TLY_EXCLUDES(stateMutex_);
    // Whether the last token request the server answered was refused for its
    // credentials (400, 401 or 403), with no token obtained since: nothing
    // this client sends can succeed until the credentials change.
    bool CredentialsRejected() const TLY_EXCLUDES(stateMutex_);

    // The pin check of one request, from its sending-request notification.
    bool VerifyServerCertificate(HINTERNET request) TLY_EXCLUDES(stateMutex_);

    // Tests only: forgets refused token requests and their wait.
    void ForgetTokenRefusalsForTesting() TLY_EXCLUDES(stateMutex_);

    // Tests only: takes a token response as if the server had sent it.
    bool StoreTokenResponseForTesting(const std::string& body) { return StoreTokenResponse(body); }

    // Tests only: a shorter deadline than kRequestCeilingMs for requests made
    // outside a host call.
    void SetRequestCeilingForTesting(std::uint32_t milliseconds) TLY_EXCLUDES(stateMutex_);

private:
    // The handles of one connection to the server, shared with the requests
    // under way on it. Declared parent first, so they close child first.
    struct Session {
        tly::UniqueInternet rootHandle;
        tly::UniqueInternet connectionHandle;
        std::atomic<bool> closed{false};
    };
    // The session and what a request made now gets: its deadline, and the pin
    // check with validation off. session is null when the client is closed.
    struct RequestStart {
        std::shared_ptr<Session> session;
        bool validate = false;
        std::uint32_t deadlineMs = 0;
    };
    // finishing: the request reports work already done (RequestLimits.h).
    RequestStart StartRequest(bool finishing) TLY_REQUIRES(stateMutex_);

    bool Send(const RestVerb& verb, const std::string& endpoint, std::string& response, std::uint32_t& statusCode)
        TLY_EXCLUDES(stateMutex_);
    // The line, the trouble and the error text of a request its deadline, its
    // cap or a close ended.
    std::string EndedByLimit(const tly::RestExchangeResult& result, const std::string& endpoint,
                             const tly::RestExchangeRequest& request) TLY_EXCLUDES(stateMutex_);
    // The line and the trouble of a 3xx answer; the error text it is refused with.
    std::string RefuseRedirect(const std::string& endpoint, std::uint32_t status, const std::string& target)
        TLY_EXCLUDES(stateMutex_);
    bool SendWithRetry(const RestVerb& verb, const std::string& endpoint, std::string& response)
        TLY_EXCLUDES(stateMutex_);
    bool StoreTokenResponse(const std::string& body) TLY_EXCLUDES(stateMutex_);
    void NoteTrouble(TroubleCause cause, std::uint32_t win32Error, std::uint32_t status, const std::string& endpoint)
        TLY_EXCLUDES(stateMutex_);
    void NoteReached() TLY_EXCLUDES(stateMutex_);

    mutable tly::Mutex stateMutex_;  // leaf
    // The client is initialised exactly when this is set.
    std::shared_ptr<Session> session_ TLY_GUARDED_BY(stateMutex_);
    // "Authorization: Bearer " + token; empty without a token.
    std::wstring authorizationHeader TLY_GUARDED_BY(stateMutex_);
    std::string accessToken TLY_GUARDED_BY(stateMutex_);
    std::string clientId TLY_GUARDED_BY(stateMutex_);
    std::string clientSecret TLY_GUARDED_BY(stateMutex_);
    std::uint32_t tokenObtainedTick TLY_GUARDED_BY(stateMutex_) = 0;  // 0: no lifetime known
    std::uint32_t refreshAfterMs TLY_GUARDED_BY(stateMutex_) = 0;     // 0: no proactive refresh
    bool validateCert TLY_GUARDED_BY(stateMutex_) = false;
    // Normalised; empty: pin the next certificate seen.
    std::string pinnedThumbprint TLY_GUARDED_BY(stateMutex_);
    std::string observedThumbprint TLY_GUARDED_BY(stateMutex_);
    bool newlyPinned TLY_GUARDED_BY(stateMutex_) = false;
    std::uint32_t lastAuthenticationStatus TLY_GUARDED_BY(stateMutex_) = 0;
    std::uint32_t requestCeilingMs_ TLY_GUARDED_BY(stateMutex_);
    TransportTrouble lastTrouble_ TLY_GUARDED_BY(stateMutex_);
    // Token requests after refused ones wait (TokenBackoff.h); kept across a
    // close, as the credentials and the server's count of failures are.
    tly::TokenBackoff tokenBackoff_ TLY_GUARDED_BY(stateMutex_);
    bool credentialsRejected_ TLY_GUARDED_BY(stateMutex_) = false;
};
