#include "transport/TLYRestClient.h"

#include "logging/Log.h"
#include "logging/RepeatedLines.h"
#include "platform/Clock.h"
#include "platform/JsonDocument.h"
#include "platform/JsonRead.h"
#include "platform/TextConversion.h"
#include "settings/Thumbprint.h"
#include "transport/CertificatePin.h"
#include "transport/WinHttpSupport.h"

#include <nlohmann/json.hpp>

#include <algorithm>

namespace {

constexpr char kComponent[] = "rest_client";
constexpr wchar_t kUserAgent[] = L"Tallyport-Corvanta-Translator/1.0";
constexpr char kBasePath[] = "/api/corvanta";
constexpr wchar_t kTokenPath[] = L"/auth/token";
constexpr char kTokenEndpoint[] = "/auth/token";
constexpr std::uint32_t kSuccessStatus = 200;
constexpr std::uint32_t kReauthenticateStatus = 401;
constexpr std::int64_t kLongestRefreshMs = 2147483647;

// WinHTTP's error codes are written with their names beside them. A warning
// or an error that repeats while the server stays unreachable is written in
// full once, then summarised (see RepeatedLines.h) until a request gets through.
void Log(LogLevel level, const char* event, const std::string& message, const LogFields& fields = {}) {
    const LogFields& named = fields.empty() ? fields : tly::WithErrorName(fields);
    if (level < LogLevel::Warn) {
        LogEvent(level, kComponent, event, message, named);
        return;
    }
    tly::LogRepeatedFailure(level, kComponent, event, message, named, tly::RepeatKey(kComponent, event, fields));
}

// A JSON string literal, quotes included. Text that is not UTF-8 is replaced
// rather than refused, so a bad credential fails at the server, not here.
std::string JsonString(const std::string& text) {
    return nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string TokenRequestBody(const std::string& clientId, const std::string& clientSecret) {
    return R"({"grant_type":"client_credentials","client_id":)" + JsonString(clientId) +
           R"(,"client_secret":)" + JsonString(clientSecret) + "}";
}

// "expires_in" as a signed integer: a fraction is truncated, a boolean counts
// as 0 or 1, a number beyond 64 bits is held at the nearest end of the range,
// anything else (null included) throws.
std::int64_t ReadExpiresIn(const nlohmann::json& document) {
    const json_read::IntegerReading<std::int64_t> read = json_read::ReadInteger<std::int64_t>(document, "expires_in");
    if (read.found == json_read::Found::Missing) return 0;
    if (read.found != json_read::Found::Value) json_read::ThrowLibraryTypeError<std::int64_t>(*read.member);
    return read.value;
}

std::uint32_t RefreshPointMs(std::int64_t expiresIn) {
    if (expiresIn >= kLongestRefreshMs / 750) return static_cast<std::uint32_t>(kLongestRefreshMs);
    return static_cast<std::uint32_t>(expiresIn * 750);
}

// The response wait and the wait for each later piece of the body. The session
// carries the same receive time-out; the request's own copy lets a test shorten both.
void SetReceiveTimeouts(HINTERNET request, DWORD milliseconds) {
    tly::SetResponseTimeout(request, milliseconds);
    ::WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_TIMEOUT, &milliseconds, sizeof(milliseconds));
}

// The request's own time-outs and, with validation off, the pin check (the
// platform's certificate errors are then left to it). False when the check
// cannot be installed: the request must not be sent.
bool PrepareRequest(TLYRestClient& client, HINTERNET request, DWORD timeout, bool validate,
                    tly::SendingRequestCheck& pin) {
    SetReceiveTimeouts(request, timeout);
    if (validate) return true;
    pin.verify = [&client](HINTERNET r) { return client.VerifyServerCertificate(r); };
    tly::IgnoreCertificateErrors(request);
    return tly::InstallSendingRequestCheck(request, pin);
}

// Writes the whole body of a request whose headers have been sent.
bool WriteBody(HINTERNET request, const std::string& body) {
    std::size_t offset = 0;
    while (offset < body.size()) {
        DWORD written = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(body.size() - offset, 1u << 20));
        if (!::WinHttpWriteData(request, body.data() + offset, chunk, &written) || written == 0) return false;
        offset += written;
    }
    return true;
}

}  // namespace

bool TLYRestClient::Initialize(const std::string& host, std::uint16_t port, bool validate) {
    Close();
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        validateCert = validate;
    }

    tly::UniqueInternet root(::WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                           WINHTTP_NO_PROXY_BYPASS, 0));
    if (!root) {
        const DWORD error = ::GetLastError();
        Log(LogLevel::Error, "session_open_failed", "WinHttpOpen failed", {{"win32_error", error}});
        return false;
    }
    ::WinHttpSetTimeouts(root.get(), 5000, 10000, 10000, 30000);

    tly::UniqueInternet connection(::WinHttpConnect(root.get(), tly::Utf8ToWide(host).c_str(), port, 0));
    if (!connection) {
        const DWORD error = ::GetLastError();
        Log(LogLevel::Error, "connect_failed", "WinHttpConnect failed",
            {{"hostname", host}, {"port", port}, {"win32_error", error}});
        return false;
    }

    {
        // A concurrent Initialize may have got here first; its handles are
        // closed below, outside the lock, and ours stay.
        std::lock_guard<std::mutex> lock(stateMutex_);
        std::swap(rootHandle, root);
        std::swap(connectionHandle, connection);
    }
    connection.reset();
    root.reset();
    Log(LogLevel::Debug, "initialized", "REST client initialized",
        {{"hostname", host}, {"port", port}, {"validate_cert", validate}});
    return true;
}

bool TLYRestClient::IsInitialized() const {
    std::lock_guard<std::mutex> lock(stateMutex_);
    return connectionHandle.valid();
}

void TLYRestClient::Close() {
    tly::UniqueInternet root;
    tly::UniqueInternet connection;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        accessToken.clear();
        authorizationHeader.clear();
        std::swap(connection, connectionHandle);
        std::swap(root, rootHandle);
    }
    // Closed outside the lock, the connection before its session.
    connection.reset();
    root.reset();
}

void TLYRestClient::ClearToken() {
    std::lock_guard<std::mutex> lock(stateMutex_);
    accessToken.clear();
    authorizationHeader.clear();
    tokenObtainedTick = 0;
    refreshAfterMs = 0;
}

void TLYRestClient::SetPinnedThumbprint(const std::string& thumbprint) {
    std::string normalized = NormalizeThumbprint(thumbprint);
    std::lock_guard<std::mutex> lock(stateMutex_);
    pinnedThumbprint = std::move(normalized);
}

std::string TLYRestClient::AccessToken() const {
    std::lock_guard<std::mutex> lock(stateMutex_);
    return accessToken;
}

std::uint32_t TLYRestClient::LastAuthenticationStatus() const {
    std::lock_guard<std::mutex> lock(stateMutex_);
    return lastAuthenticationStatus;
}

std::string TLYRestClient::ObservedThumbprint() const {
    std::lock_guard<std::mutex> lock(stateMutex_);
    return observedThumbprint;
}

bool TLYRestClient::NewlyPinned() const {
    std::lock_guard<std::mutex> lock(stateMutex_);
    return newlyPinned;
}

bool TLYRestClient::TakeNewlyPinned(std::string& thumbprint) {
    std::lock_guard<std::mutex> lock(stateMutex_);
    if (!newlyPinned) return false;
    newlyPinned = false;
    thumbprint = observedThumbprint;
    return true;
}

void TLYRestClient::SetReceiveTimeoutForTesting(DWORD milliseconds) {
    std::lock_guard<std::mutex> lock(stateMutex_);
    receiveTimeoutMs_ = milliseconds;
}

bool TLYRestClient::Authenticate(const std::string& id, const std::string& secret) {
    HINTERNET connection = nullptr;
    bool validate = false;
    DWORD timeout = 0;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        clientId = id;
        clientSecret = secret;
        accessToken.clear();
        authorizationHeader.clear();
        lastAuthenticationStatus = 0;
        connection = connectionHandle.get();
        validate = validateCert;
        timeout = receiveTimeoutMs_;
    }
    if (connection == nullptr) {
        Log(LogLevel::Error, "auth_not_init", "Cannot authenticate — REST client not initialized");
        return false;
    }

    const std::string body = TokenRequestBody(id, secret);
    tly::UniqueInternet request(::WinHttpOpenRequest(connection, L"POST", kTokenPath, nullptr, WINHTTP_NO_REFERER,
                                                     WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE));
    if (!request) {
        const DWORD error = ::GetLastError();
        Log(LogLevel::Error, "auth_open_failed", "Failed to open auth request", {{"win32_error", error}});
        NoteTrouble(TroubleCause::Other, error, 0, kTokenEndpoint);
        return false;
    }
    tly::SendingRequestCheck pin;
    if (!PrepareRequest(*this, request.get(), timeout, validate, pin)) {
        const DWORD error = ::GetLastError();
        Log(LogLevel::Error, "auth_callback_install_failed",
            "Failed to install TLS thumbprint callback — failing closed", {{"win32_error", error}});
        return false;
    }
    ::WinHttpAddRequestHeaders(request.get(), L"Content-Type: application/json", static_cast<DWORD>(-1),
                               WINHTTP_ADDREQ_FLAG_ADD);
    Log(LogLevel::Debug, "auth_request", "Requesting OAuth token", {{"client_id", id}});

    // The headers go out alone and the body, which carries the client secret,
    // only once the pin has held: a refused server never sees the secret.
    const BOOL sent = ::WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0,
                                           static_cast<DWORD>(body.size()), 0);
    const DWORD sendError = sent ? 0 : tly::LastWinHttpError();
    if (!validate && tly::PinRefusedRequest(pin, request, sent)) {  // the pin check has logged
        NoteTrouble(TroubleCause::CertificateMismatch, 0, 0, kTokenEndpoint);
        return false;
    }
    if (!sent || !WriteBody(request.get(), body)) {
        const DWORD error = sent ? tly::LastWinHttpError() : sendError;
        Log(LogLevel::Error, "auth_send_failed", "Auth request send failed",
            {{"win32_error", error}, {"endpoint", kTokenEndpoint}});
        NoteTrouble(CauseOfWin32Error(error), error, 0, kTokenEndpoint);
        return false;
    }
    if (!::WinHttpReceiveResponse(request.get(), nullptr)) {
        const DWORD error = tly::LastWinHttpError();
        Log(LogLevel::Error, "auth_receive_failed", "Auth response receive failed",
            {{"win32_error", error}, {"endpoint", kTokenEndpoint}});
        NoteTrouble(CauseOfWin32Error(error), error, 0, kTokenEndpoint);
        return false;
    }
    const std::uint32_t status = tly::QueryStatusCode(request.get());
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        lastAuthenticationStatus = status;
    }
    std::string response;
    const DWORD readError = tly::ReadResponseBody(request.get(), response);
    request.reset();

    if (status != kSuccessStatus) {
        Log(LogLevel::Error, "auth_failed", "OAuth token request failed",
            {{"status_code", status}, {"response", response}, {"client_id", id}});
        NoteTrouble(CauseOfStatus(status, true), 0, status, kTokenEndpoint);
        return false;
    }
    if (readError != NO_ERROR) {
        Log(LogLevel::Error, "auth_receive_failed", "Auth response receive failed",
            {{"win32_error", readError}, {"endpoint", kTokenEndpoint}});
        NoteTrouble(TroubleCause::ConnectionLost, readError, 0, kTokenEndpoint);
        return false;
    }
    return StoreTokenResponse(response);
}

bool TLYRestClient::StoreTokenResponse(const std::string& body) {
    try {
        const nlohmann::json document = tly::ParseJson(body);
        std::string token = json_read::String(document, "access_token");
        {
            std::lock_guard<std::mutex> lock(stateMutex_);
            accessToken = token;
        }
        if (token.empty()) {
            Log(LogLevel::Error, "auth_no_token", "Token response missing access_token");
            return false;
        }
        std::wstring header = L"Authorization: Bearer " + tly::Utf8ToWide(token);
        {
            std::lock_guard<std::mutex> lock(stateMutex_);
            authorizationHeader = std::move(header);
        }
        const std::int64_t expiresIn = ReadExpiresIn(document);
        const std::uint32_t now = tly::CurrentClock().TickCount();
        {
            std::lock_guard<std::mutex> lock(stateMutex_);
            tokenObtainedTick = expiresIn > 0 ? now : 0;
            refreshAfterMs = expiresIn > 0 ? RefreshPointMs(expiresIn) : 0;
        }
        Log(LogLevel::Info, "auth_success", "OAuth token obtained", {{"expires_in", expiresIn}});
        NoteReached();
        return true;
    } catch (const std::exception& e) {
        Log(LogLevel::Error, "auth_parse_failed", "Failed to parse token response", {{"exception", e.what()}});
        return false;
    }
}

bool TLYRestClient::Get(const std::string& endpoint, std::string& response, std::uint32_t& statusCode) {
    return Send(Verb::Get, endpoint, response, statusCode);
}

bool TLYRestClient::Post(const std::string& endpoint, std::string& response, std::uint32_t& statusCode) {
    return Send(Verb::Post, endpoint, response, statusCode);
}

bool TLYRestClient::Send(Verb verb, const std::string& endpoint, std::string& response, std::uint32_t& statusCode) {
    const bool isGet = verb == Verb::Get;
    response.clear();
    statusCode = 0;

    HINTERNET connection = nullptr;
    bool validate = false;
    std::wstring authorization;
    DWORD timeout = 0;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        connection = connectionHandle.get();
        validate = validateCert;
        authorization = authorizationHeader;
        timeout = receiveTimeoutMs_;
    }
    if (connection == nullptr) {
        response = "REST client not initialized";
        if (isGet) {
            Log(LogLevel::Warn, "request_skipped", "REST request skipped because client is not initialized",
                {{"endpoint", endpoint}});
        }
        return false;
    }

    const std::wstring path = tly::Utf8ToWide(kBasePath + endpoint);
    tly::UniqueInternet request(::WinHttpOpenRequest(connection, isGet ? L"GET" : L"POST", path.c_str(), nullptr,
                                                     WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                     WINHTTP_FLAG_SECURE));
    if (!request) {
        const DWORD error = ::GetLastError();
        response = "Failed to open HTTP request";
        if (isGet) {
            Log(LogLevel::Error, "request_open_failed", "Failed to open HTTP request",
                {{"endpoint", endpoint}, {"win32_error", error}});
        } else {
            Log(LogLevel::Error, "post_open_failed", "Failed to open POST request",
                {{"endpoint", endpoint}, {"win32_error", error}});
        }
        NoteTrouble(TroubleCause::Other, error, 0, endpoint);
        return false;
    }
    tly::SendingRequestCheck pin;
    if (!PrepareRequest(*this, request.get(), timeout, validate, pin)) {
        const DWORD error = ::GetLastError();
        response = "Failed to install TLS thumbprint callback";
        Log(LogLevel::Error, isGet ? "request_callback_install_failed" : "post_callback_install_failed",
            "Failed to install TLS thumbprint callback — failing closed",
            {{"endpoint", endpoint}, {"win32_error", error}});
        return false;
    }
    if (!authorization.empty()) {
        ::WinHttpAddRequestHeaders(request.get(), authorization.c_str(), static_cast<DWORD>(-1),
                                   WINHTTP_ADDREQ_FLAG_ADD);
    }
    // Every request passes here: the trace lines' texts are built only when written.
    const bool tracing = IsLogLevelEnabled(LogLevel::Trace);
    if (tracing && isGet) {
        Log(LogLevel::Trace, "request_outbound", "GET " + endpoint, {{"endpoint", endpoint}});
    } else if (tracing) {
        Log(LogLevel::Trace, "post_outbound", "POST " + endpoint, {{"endpoint", endpoint}});
    }

    const BOOL sent =
        ::WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0);
    const DWORD sendError = sent ? 0 : tly::LastWinHttpError();
    if (!validate && tly::PinRefusedRequest(pin, request, sent)) {
        // The pin check has logged. Windows stopped the request before anything
        // left; under Wine its headers (with the bearer token) reached the
        // refused server, but no response is read from it.
        response = "Certificate thumbprint mismatch";
        NoteTrouble(TroubleCause::CertificateMismatch, 0, 0, endpoint);
        return false;
    }
    if (!sent) {
        response = "WinHttpSendRequest failed, error=" + std::to_string(sendError);
        if (isGet) {
            Log(LogLevel::Error, "request_send_failed", "WinHttpSendRequest failed",
                {{"endpoint", endpoint}, {"win32_error", sendError}});
        } else {
            Log(LogLevel::Error, "post_send_failed", "POST send failed",
                {{"endpoint", endpoint}, {"win32_error", sendError}});
        }
        NoteTrouble(CauseOfWin32Error(sendError), sendError, 0, endpoint);
        return false;
    }
    if (!::WinHttpReceiveResponse(request.get(), nullptr)) {
        const DWORD error = tly::LastWinHttpError();
        response = "WinHttpReceiveResponse failed, error=" + std::to_string(error);
        if (isGet) {
            Log(LogLevel::Error, "response_receive_failed", "WinHttpReceiveResponse failed",
                {{"endpoint", endpoint}, {"win32_error", error}});
        }
        NoteTrouble(CauseOfWin32Error(error), error, 0, endpoint);
        return false;
    }
    statusCode = tly::QueryStatusCode(request.get());
    if (tracing && isGet) {
        Log(LogLevel::Trace, "response_received", "Response " + std::to_string(statusCode) + " " + endpoint,
            {{"endpoint", endpoint}, {"status_code", statusCode}});
    }
    std::string body;
    const DWORD readError = tly::ReadResponseBody(request.get(), body);
    request.reset();
    if (statusCode == kSuccessStatus && readError == NO_ERROR) {
        response = std::move(body);
        NoteReached();
        return true;
    }
    if (statusCode == kSuccessStatus) {
        // A body cut short is a failed request, not a successful shorter answer.
        response = "WinHttpReadData failed, error=" + std::to_string(readError);
        Log(LogLevel::Error, isGet ? "response_read_failed" : "post_read_failed", "Reading the response body failed",
            {{"endpoint", endpoint}, {"status_code", statusCode}, {"win32_error", readError}});
        NoteTrouble(TroubleCause::ConnectionLost, readError, statusCode, endpoint);
        return false;
    }
    response = "HTTP " + std::to_string(statusCode) + ": " + body;
    if (isGet) {
        Log(LogLevel::Warn, "response_status_not_ok", "REST request returned non-200 status",
            {{"endpoint", endpoint}, {"status_code", statusCode}, {"response", response}});
    } else {
        Log(LogLevel::Warn, "post_status_not_ok", "POST returned non-200",
            {{"endpoint", endpoint}, {"status_code", statusCode}});
    }
    NoteTrouble(CauseOfStatus(statusCode, false), 0, statusCode, endpoint);
    return false;
}

void TLYRestClient::NoteTrouble(TroubleCause cause, std::uint32_t win32Error, std::uint32_t status,
                                const std::string& endpoint) {
    std::lock_guard<std::mutex> lock(stateMutex_);
    lastTrouble_.cause = cause;
    lastTrouble_.win32Error = win32Error;
    lastTrouble_.statusCode = status;
    lastTrouble_.concerning = endpoint;
}

void TLYRestClient::NoteReached() {
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        lastTrouble_ = TransportTrouble{};
    }
    // The server answers: a failure seen from now on is news again.
    tly::EndRepeatedFailures("rest_client/");
    tly::EndRepeatedFailures("crypto/");
}

TransportTrouble TLYRestClient::LastTrouble() const {
    std::lock_guard<std::mutex> lock(stateMutex_);
    return lastTrouble_;
}

bool TLYRestClient::GetWithRetry(const std::string& endpoint, std::string& response) {
    return SendWithRetry(Verb::Get, endpoint, response);
}

bool TLYRestClient::PostWithRetry(const std::string& endpoint, std::string& response) {
    return SendWithRetry(Verb::Post, endpoint, response);
}

bool TLYRestClient::SendWithRetry(Verb verb, const std::string& endpoint, std::string& response) {
    RefreshTokenIfDue();
    std::uint32_t statusCode = 0;
    if (Send(verb, endpoint, response, statusCode)) return true;

    std::string id;
    std::string secret;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        id = clientId;
        secret = clientSecret;
    }
    if (statusCode != kReauthenticateStatus || id.empty()) return false;
    Log(LogLevel::Warn, "auth_retry",
        verb == Verb::Get ? "Token expired on GET, re-authenticating" : "Token expired on POST, re-authenticating",
        {{"endpoint", endpoint}});
    ClearToken();
    if (!Authenticate(id, secret)) return false;
    return Send(verb, endpoint, response, statusCode);
}

bool TLYRestClient::RefreshTokenIfDue() {
    const std::uint32_t now = tly::CurrentClock().TickCount();
    std::string id;
    std::string secret;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
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

bool TLYRestClient::VerifyServerCertificate(HINTERNET request) {
    std::string pin;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        if (validateCert) return true;
        pin = pinnedThumbprint;
    }
    const std::string actual = CheckCertificatePin(request, pin);
    if (actual.empty()) return false;

    bool pinnedNow = false;
    std::string pinnedMeanwhile;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        if (pinnedThumbprint.empty()) {
            pinnedThumbprint = actual;
            newlyPinned = true;
            pinnedNow = true;
        } else if (pinnedThumbprint != actual) {
            // Another request pinned a different certificate, or the pin was
            // replaced, while this one was being checked.
            pinnedMeanwhile = pinnedThumbprint;
        }
        if (pinnedMeanwhile.empty()) observedThumbprint = actual;
    }
    if (!pinnedMeanwhile.empty()) {
        LogThumbprintMismatch(pinnedMeanwhile, actual);
        return false;
    }
    if (pinnedNow) {
        Log(LogLevel::Warn, "cert.thumbprint_pinned",
            "Pinned new server certificate thumbprint — verify this matches the expected TLY server certificate",
            {{"thumbprint", actual}});
    }
    return true;
}
