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
// WebSocket receive thread). One mutex guards every field; it is held only to
// copy or assign them, never across a WinHTTP call or a log line.

#include "transport/InternetHandles.h"
#include "transport/TransportTrouble.h"

#include <cstdint>
#include <mutex>
#include <string>

struct RestVerb;

class TLYRestClient {
public:
    TLYRestClient() = default;
    ~TLYRestClient() { Close(); }
    TLYRestClient(const TLYRestClient&) = delete;
    TLYRestClient& operator=(const TLYRestClient&) = delete;

    bool Initialize(const std::string& host, std::uint16_t port, bool validateCert);
    bool IsInitialized() const;
    void Close();

    void ClearToken();
    void SetPinnedThumbprint(const std::string& thumbprint);
    bool Authenticate(const std::string& clientId, const std::string& clientSecret);

    // response: the body on success, otherwise the error text; statusCode: the
    // HTTP status, 0 when no response arrived.
    bool Get(const std::string& endpoint, std::string& response, std::uint32_t& statusCode);
    bool Post(const std::string& endpoint, std::string& response, std::uint32_t& statusCode);
    bool GetWithRetry(const std::string& endpoint, std::string& response);
    bool PostWithRetry(const std::string& endpoint, std::string& response);
    bool RefreshTokenIfDue();

    std::string AccessToken() const;
    // The HTTP status of the last token request; 0 when no answer arrived.
    std::uint32_t LastAuthenticationStatus() const;
    std::string ObservedThumbprint() const;
    bool NewlyPinned() const;
    // Reads and clears newlyPinned in one step, so a pin is handed out for
    // saving once; thumbprint receives the observed thumbprint when it was set.
    bool TakeNewlyPinned(std::string& thumbprint);

    // Why the last request that failed did, until one gets through again.
    TransportTrouble LastTrouble() const;

    // The pin check of one request, from its sending-request notification.
    bool VerifyServerCertificate(HINTERNET request);

    // Tests only: takes a token response as if the server had sent it.
    bool StoreTokenResponseForTesting(const std::string& body) { return StoreTokenResponse(body); }

    // Tests only: a shorter wait for responses than the 30000 ms of the field.
    void SetReceiveTimeoutForTesting(DWORD milliseconds);

private:
    bool Send(const RestVerb& verb, const std::string& endpoint, std::string& response, std::uint32_t& statusCode);
    bool SendWithRetry(const RestVerb& verb, const std::string& endpoint, std::string& response);
    bool StoreTokenResponse(const std::string& body);
    void NoteTrouble(TroubleCause cause, std::uint32_t win32Error, std::uint32_t status, const std::string& endpoint);
    void NoteReached();

    mutable std::mutex stateMutex_;
    tly::UniqueInternet rootHandle;
    tly::UniqueInternet connectionHandle;  // the client is initialised exactly when this is set
    std::wstring authorizationHeader;      // "Authorization: Bearer " + token; empty without a token
    std::string accessToken;
    std::string clientId;
    std::string clientSecret;
    std::uint32_t tokenObtainedTick = 0;  // 0: no lifetime known
    std::uint32_t refreshAfterMs = 0;     // 0: no proactive refresh
    bool validateCert = false;
    std::string pinnedThumbprint;  // normalised; empty: pin the next certificate seen
    std::string observedThumbprint;
    bool newlyPinned = false;
    std::uint32_t lastAuthenticationStatus = 0;
    DWORD receiveTimeoutMs_ = 30000;
    TransportTrouble lastTrouble_;
};
