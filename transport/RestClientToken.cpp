// The REST client's OAuth token: asked for with the client credentials,
// stored with its lifetime, and renewed at three quarters of that lifetime.
#include "transport/TLYRestClient.h"

#include "logging/Log.h"
#include "platform/Clock.h"
#include "platform/TextConversion.h"
#include "transport/RestClientLine.h"
#include "transport/RequestLimits.h"
#include "transport/RestExchange.h"
#include "transport/TokenResponse.h"

#include <nlohmann/json.hpp>

namespace {

constexpr wchar_t kTokenPath[] = L"/auth/token";
constexpr char kTokenEndpoint[] = "/auth/token";

using rest_client::kSuccessStatus;
using rest_client::Log;

// A JSON string literal, quotes included. Text that is not UTF-8 is replaced
// rather than refused, so a bad credential fails at the server, not here.
std::string JsonString(const std::string& text) {
    return nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string TokenRequestBody(const std::string& clientId, const std::string& clientSecret) {
    return R"({"grant_type":"client_credentials","client_id":)" + JsonString(clientId) +
           R"(,"client_secret":)" + JsonString(clientSecret) + "}";
}

}  // namespace

void TLYRestClient::ClearToken() {
    tly::MutexLock lock(stateMutex_);
    accessToken.clear();
    authorizationHeader.clear();
    tokenObtainedTick = 0;
    refreshAfterMs = 0;
}

std::string TLYRestClient::AccessToken() const {
    tly::MutexLock lock(stateMutex_);
    return accessToken;
}

std::uint32_t TLYRestClient::LastAuthenticationStatus() const {
    tly::MutexLock lock(stateMutex_);
    return lastAuthenticationStatus;
}

bool TLYRestClient::CredentialsRejected() const {
    tly::MutexLock lock(stateMutex_);
    return credentialsRejected_;
}

void TLYRestClient::ForgetTokenRefusalsForTesting() {
    tly::MutexLock lock(stateMutex_);
    tokenBackoff_.Succeeded();
    credentialsRejected_ = false;
}

bool TLYRestClient::Authenticate(const std::string& id, const std::string& secret) {
    RequestStart start;
    const std::string credentials = id + '\0' + secret;
    {
        tly::MutexLock lock(stateMutex_);
        // After a refusal, every panel's every request that meets a 401 would
        // ask again: the request waits its turn instead (the token it would
        // replace is gone already).
        if (const std::uint32_t wait = tokenBackoff_.RemainingMs(tly::CurrentClock().TickCount(), credentials)) {
            lock.Unlock();
            Log(LogLevel::Debug, "auth_held_back", "Token request held back after the server refused the last one",
                {{"wait_ms", wait}, {"client_id", id}});
            return false;
        }
        clientId = id;
        clientSecret = secret;
        accessToken.clear();
        authorizationHeader.clear();
        lastAuthenticationStatus = 0;
        start = StartRequest(false);
    }
    if (!start.session) {
        Log(LogLevel::Error, "auth_not_init", "Cannot authenticate — REST client not initialized");
        return false;
    }

    // The body carries the client secret: a server the pin refuses never sees it.
    tly::RestExchangeRequest request;
    request.verb = L"POST";
    request.path = kTokenPath;
    request.headers = L"Content-Type: application/json";
    request.body = TokenRequestBody(id, secret);
    request.deadlineMs = start.deadlineMs;
    request.maxBodyBytes = tly::AnswerCapBytes(kTokenEndpoint);
    request.stopped = &start.session->closed;
    if (!start.validate) request.verifyPin = [this](HINTERNET r) { return VerifyServerCertificate(r); };
    request.beforeSend = [&id] { Log(LogLevel::Debug, "auth_request", "Requesting OAuth token", {{"client_id", id}}); };
    const tly::RestExchangeResult result = tly::ExchangeRequest(start.session->connectionHandle.get(), request);

    using Stop = tly::RestExchangeResult::Stop;
    const DWORD error = result.win32Error;
    switch (result.stop) {
    case Stop::OutOfTime:
    case Stop::TooLarge:
    case Stop::Stopped:
        EndedByLimit(result, kTokenEndpoint, request);
        return false;
    case Stop::Open:
        Log(LogLevel::Error, "auth_open_failed", "Failed to open auth request", {{"win32_error", error}});
        NoteTrouble(TroubleCause::Other, error, 0, kTokenEndpoint);
        return false;
    case Stop::PinCheckSetup:
        Log(LogLevel::Error, "auth_callback_install_failed",
            "Failed to install TLS thumbprint callback — failing closed", {{"win32_error", error}});
        return false;
    case Stop::PinRefused:  // the pin check has logged
        NoteTrouble(TroubleCause::CertificateMismatch, 0, 0, kTokenEndpoint);
        return false;
    case Stop::Send:
        Log(LogLevel::Error, "auth_send_failed", "Auth request send failed",
            {{"win32_error", error}, {"endpoint", kTokenEndpoint}});
        NoteTrouble(CauseOfSendError(error, start.validate), error, 0, kTokenEndpoint);
        return false;
    case Stop::Receive:
        Log(LogLevel::Error, "auth_receive_failed", "Auth response receive failed",
            {{"win32_error", error}, {"endpoint", kTokenEndpoint}});
        NoteTrouble(CauseOfWin32Error(error), error, 0, kTokenEndpoint);
        return false;
    case Stop::None:
        break;
    }

    const std::uint32_t status = result.status;
    std::uint32_t waitMs = 0;
    {
        tly::MutexLock lock(stateMutex_);
        lastAuthenticationStatus = status;
        if (status >= 400) {  // refused; a redirect or another success status is no refusal
            waitMs = tokenBackoff_.Refused(tly::CurrentClock().TickCount(), credentials);
            credentialsRejected_ = CauseOfStatus(status, true) == TroubleCause::CredentialsRejected;
        }
    }
    if (tly::IsRedirectStatus(status)) {
        RefuseRedirect(kTokenEndpoint, status, result.redirectTarget);
        return false;
    }
    if (status != kSuccessStatus) {
        Log(LogLevel::Error, "auth_failed", "OAuth token request failed",
            {{"status_code", status},
             {"response", TokenRefusalForLog(result.body)},
             {"client_id", id},
             {"next_attempt_ms", waitMs}});  // 0: not held back
        NoteTrouble(CauseOfStatus(status, true), 0, status, kTokenEndpoint);
        return false;
    }
    if (result.readError != NO_ERROR) {
        Log(LogLevel::Error, "auth_receive_failed", "Auth response receive failed",
            {{"win32_error", result.readError}, {"endpoint", kTokenEndpoint}});
        NoteTrouble(TroubleCause::ConnectionLost, result.readError, 0, kTokenEndpoint);
        return false;
    }
    return StoreTokenResponse(result.body);
}

bool TLYRestClient::StoreTokenResponse(const std::string& body) {
    TokenResponse response;
    std::wstring header;
    try {
        response = ReadTokenResponse(body);
        if (!response.accessToken.empty()) header = L"Authorization: Bearer " + tly::Utf8ToWide(response.accessToken);
    } catch (const std::exception& e) {
        // Described by its shape only: the parser's own text quotes the
        // answer, and with it the token.
        Log(LogLevel::Error, "auth_parse_failed", "Failed to parse token response",
            {{"reason", TokenAnswerFailure(e)}, {"shape", DescribeTokenAnswer(body)}});
        return false;
    }
    if (response.accessToken.empty()) {
        Log(LogLevel::Error, "auth_no_token", "Token response missing access_token");
        return false;
    }
    const std::uint32_t now = tly::CurrentClock().TickCount();
    {
        tly::MutexLock lock(stateMutex_);
        accessToken = std::move(response.accessToken);
        authorizationHeader = std::move(header);
        tokenObtainedTick = response.refreshAfterMs != 0 ? now : 0;
        refreshAfterMs = response.refreshAfterMs;
        tokenBackoff_.Succeeded();
        credentialsRejected_ = false;
    }
    Log(LogLevel::Info, "auth_success", "OAuth token obtained", {{"expires_in", response.expiresIn}});
    NoteReached();
    return true;
}

bool TLYRestClient::RefreshTokenIfDue() {
    const std::uint32_t now = tly::CurrentClock().TickCount();
    std::string id;
    std::string secret;
    {
        tly::MutexLock lock(stateMutex_);
        // Unsigned subtraction gives the elapsed time across a wrap of the tick count.
        const bool due = refreshAfterMs != 0 && !clientId.empty() && now - tokenObtainedTick >= refreshAfterMs;
        if (!due) return true;
        // Cleared in the same step as the test, so concurrent callers renew once.
        accessToken.clear();
        authorizationHeader.clear();
        tokenObtainedTick = 0;
        refreshAfterMs = 0;
        id = clientId;
        secret = clientSecret;
    }
    Log(LogLevel::Info, "token_refresh", "Token reached 75% of lifetime, re-authenticating proactively");
    return Authenticate(id, secret);
}
