// The REST client's connection and its GET and POST requests under
// "/api/corvanta", with one re-authentication after a 401, and the
// certificate pin those requests are held to.
#include "transport/TLYRestClient.h"

#include "logging/Log.h"
#include "logging/RepeatedLines.h"
#include "platform/Clock.h"
#include "platform/TextConversion.h"
#include "settings/Thumbprint.h"
#include "transport/CertificatePin.h"
#include "transport/RestClientLine.h"
#include "transport/RequestLimits.h"
#include "transport/RestExchange.h"
#include "transport/WinHttpSupport.h"

#include <algorithm>

// What a GET or a POST is on the wire and what it writes to the log at each
// step, so that one path sends both.
struct RestVerb {
    // The line of one step; a step without an event writes none.
    struct StepLine {
        const char* event;
        const char* message;
    };
    const wchar_t* method;
    const char* name;                 // as the trace lines give it
    StepLine skipped;                 // the client is not initialised
    StepLine openFailed;
    const char* pinCheckSetupFailed;  // event
    const char* outbound;             // trace event, before the request leaves
    StepLine sendFailed;
    StepLine receiveFailed;
    const char* received;             // trace event of the status; null: none
    const char* readFailed;           // event
    StepLine statusNotOk;
    bool statusLineQuotesResponse;    // the non-200 line carries the error text
    const char* reauthenticating;     // the message of the retry after a 401
};

namespace {

using rest_client::kSuccessStatus;
using rest_client::Log;

constexpr wchar_t kUserAgent[] = L"Tallyport-Corvanta-Translator/1.0";
constexpr char kBasePath[] = "/api/corvanta";
constexpr std::uint32_t kReauthenticateStatus = 401;

void LogStep(LogLevel level, const RestVerb::StepLine& line, const LogFields& fields) {
    if (line.event) Log(level, line.event, line.message, fields);
}

constexpr RestVerb kGet{
    L"GET", "GET",
    {"request_skipped", "REST request skipped because client is not initialized"},
    {"request_open_failed", "Failed to open HTTP request"},
    "request_callback_install_failed",
    "request_outbound",
    {"request_send_failed", "WinHttpSendRequest failed"},
    {"response_receive_failed", "WinHttpReceiveResponse failed"},
    "response_received",
    "response_read_failed",
    {"response_status_not_ok", "REST request returned non-200 status"},
    true,
    "Token expired on GET, re-authenticating",
};

constexpr RestVerb kPost{
    L"POST", "POST",
    {nullptr, nullptr},
    {"post_open_failed", "Failed to open POST request"},
    "post_callback_install_failed",
    "post_outbound",
    {"post_send_failed", "POST send failed"},
    {nullptr, nullptr},
    nullptr,
    "post_read_failed",
    {"post_status_not_ok", "POST returned non-200"},
    false,
    "Token expired on POST, re-authenticating",
};

}  // namespace

bool TLYRestClient::Initialize(const std::string& host, std::uint16_t port, bool validate) {
    Close();
    {
        tly::MutexLock lock(stateMutex_);
        validateCert = validate;
    }

    tly::UniqueInternet root(::WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                           WINHTTP_NO_PROXY_BYPASS, 0));
    if (!root) {
        const DWORD error = ::GetLastError();
        Log(LogLevel::Error, "session_open_failed", "WinHttpOpen failed", {{"win32_error", error}});
        return false;
    }
    if (!tly::RequireTls12OrLater(root.get())) {
        const DWORD error = ::GetLastError();
        Log(LogLevel::Error, "tls_protocols_failed", "Could not limit the session to TLS 1.2 and later — failing closed",
            {{"win32_error", error}});
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

    auto session = std::make_shared<Session>();
    session->rootHandle = std::move(root);
    session->connectionHandle = std::move(connection);
    {
        // A concurrent Initialize may have got here first; its session is
        // given up below, outside the lock, and ours stays.
        tly::MutexLock lock(stateMutex_);
        std::swap(session_, session);
    }
    if (session) session->closed.store(true);
    session.reset();
    Log(LogLevel::Debug, "initialized", "REST client initialized",
        {{"hostname", host}, {"port", port}, {"validate_cert", validate}});
    return true;
}

TLYRestClient::TLYRestClient()
    : requestCeilingMs_(tly::kRequestCeilingMs),
      tokenBackoff_(::GetCurrentProcessId() * 2654435761u ^ tly::CurrentClock().PerformanceCounter()) {}

bool TLYRestClient::IsInitialized() const {
    tly::MutexLock lock(stateMutex_);
    return session_ != nullptr;
}

void TLYRestClient::Close() {
    std::shared_ptr<Session> session;
    {
        tly::MutexLock lock(stateMutex_);
        accessToken.clear();
        authorizationHeader.clear();
        std::swap(session, session_);
    }
    if (!session) return;
    // Requests under way stop at their next step; the handles close, outside
    // the lock, with the last share.
    session->closed.store(true);
    session.reset();
}

TLYRestClient::RequestStart TLYRestClient::StartRequest(bool finishing) {
    RequestStart start;
    start.session = session_;
    start.validate = validateCert;
    start.deadlineMs = std::min(requestCeilingMs_, tly::RequestDeadlineMs(finishing));
    return start;
}

void TLYRestClient::SetPinnedThumbprint(const std::string& thumbprint) {
    std::string normalized = NormalizeThumbprint(thumbprint);
    tly::MutexLock lock(stateMutex_);
    pinnedThumbprint = std::move(normalized);
}

std::string TLYRestClient::PinnedThumbprint() const {
    tly::MutexLock lock(stateMutex_);
    return pinnedThumbprint;
}

std::string TLYRestClient::ObservedThumbprint() const {
    tly::MutexLock lock(stateMutex_);
    return observedThumbprint;
}

bool TLYRestClient::NewlyPinned() const {
    tly::MutexLock lock(stateMutex_);
    return newlyPinned;
}

bool TLYRestClient::TakeNewlyPinned(std::string& thumbprint) {
    tly::MutexLock lock(stateMutex_);
    if (!newlyPinned) return false;
    newlyPinned = false;
    thumbprint = observedThumbprint;
    return true;
}

void TLYRestClient::SetRequestCeilingForTesting(std::uint32_t milliseconds) {
    tly::MutexLock lock(stateMutex_);
    requestCeilingMs_ = milliseconds;
}

bool TLYRestClient::Get(const std::string& endpoint, std::string& response, std::uint32_t& statusCode) {
    return Send(kGet, endpoint, response, statusCode);
}

bool TLYRestClient::Post(const std::string& endpoint, std::string& response, std::uint32_t& statusCode) {
    return Send(kPost, endpoint, response, statusCode);
}

bool TLYRestClient::Send(const RestVerb& verb, const std::string& endpoint, std::string& response,
                        std::uint32_t& statusCode) {
    response.clear();
    statusCode = 0;

    RequestStart start;
    tly::RestExchangeRequest request;
    {
        tly::MutexLock lock(stateMutex_);
        start = StartRequest(&verb == &kPost);  // a POST marks what the host already has
        request.headers = authorizationHeader;
    }
    if (!start.session) {
        response = "REST client not initialized";
        LogStep(LogLevel::Warn, verb.skipped, {{"endpoint", endpoint}});
        return false;
    }

    request.verb = verb.method;
    request.path = tly::Utf8ToWide(kBasePath + endpoint);
    request.deadlineMs = start.deadlineMs;
    request.maxBodyBytes = tly::AnswerCapBytes(endpoint);
    request.stopped = &start.session->closed;
    if (!start.validate) request.verifyPin = [this](HINTERNET r) { return VerifyServerCertificate(r); };
    // Every request passes here: the trace lines' texts are built only when written.
    const bool tracing = IsLogLevelEnabled(LogLevel::Trace);
    if (tracing) {
        request.beforeSend = [&] {
            Log(LogLevel::Trace, verb.outbound, std::string(verb.name) + " " + endpoint, {{"endpoint", endpoint}});
        };
    }
    tly::RestExchangeResult result = tly::ExchangeRequest(start.session->connectionHandle.get(), request);

    using Stop = tly::RestExchangeResult::Stop;
    const DWORD error = result.win32Error;
    switch (result.stop) {
    case Stop::OutOfTime:
    case Stop::TooLarge:
    case Stop::Stopped:
        statusCode = result.status;
        response = EndedByLimit(result, endpoint, request);
        return false;
    case Stop::Open:
        response = "Failed to open HTTP request";
        LogStep(LogLevel::Error, verb.openFailed, {{"endpoint", endpoint}, {"win32_error", error}});
        NoteTrouble(TroubleCause::Other, error, 0, endpoint);
        return false;
    case Stop::PinCheckSetup:
        response = "Failed to install TLS thumbprint callback";
        Log(LogLevel::Error, verb.pinCheckSetupFailed, "Failed to install TLS thumbprint callback — failing closed",
            {{"endpoint", endpoint}, {"win32_error", error}});
        return false;
    case Stop::PinRefused:  // the pin check has logged
        response = "Certificate thumbprint mismatch";
        NoteTrouble(TroubleCause::CertificateMismatch, 0, 0, endpoint);
        return false;
    case Stop::Send:
        response = "WinHttpSendRequest failed, error=" + std::to_string(error);
        LogStep(LogLevel::Error, verb.sendFailed, {{"endpoint", endpoint}, {"win32_error", error}});
        NoteTrouble(CauseOfSendError(error, start.validate), error, 0, endpoint);
        return false;
    case Stop::Receive:
        response = "WinHttpReceiveResponse failed, error=" + std::to_string(error);
        LogStep(LogLevel::Error, verb.receiveFailed, {{"endpoint", endpoint}, {"win32_error", error}});
        NoteTrouble(CauseOfWin32Error(error), error, 0, endpoint);
        return false;
    case Stop::None:
        break;
    }

    statusCode = result.status;
    if (tracing && verb.received) {
        Log(LogLevel::Trace, verb.received, "Response " + std::to_string(statusCode) + " " + endpoint,
            {{"endpoint", endpoint}, {"status_code", statusCode}});
    }
    if (tly::IsRedirectStatus(statusCode)) {
        response = RefuseRedirect(endpoint, statusCode, result.redirectTarget);
        return false;
    }
    if (statusCode == kSuccessStatus && result.readError == NO_ERROR) {
        response = std::move(result.body);
        NoteReached();
        return true;
    }
    if (statusCode == kSuccessStatus) {
        // A body cut short is a failed request, not a successful shorter answer.
        response = "WinHttpReadData failed, error=" + std::to_string(result.readError);
        Log(LogLevel::Error, verb.readFailed, "Reading the response body failed",
            {{"endpoint", endpoint}, {"status_code", statusCode}, {"win32_error", result.readError}});
        NoteTrouble(TroubleCause::ConnectionLost, result.readError, statusCode, endpoint);
        return false;
    }
    response = "HTTP " + std::to_string(statusCode) + ": " + result.body;
    LogFields fields{{"endpoint", endpoint}, {"status_code", statusCode}};
    if (verb.statusLineQuotesResponse) fields.emplace_back("response", response);
    LogStep(LogLevel::Warn, verb.statusNotOk, fields);
    NoteTrouble(CauseOfStatus(statusCode, false), 0, statusCode, endpoint);
    return false;
}

std::string TLYRestClient::EndedByLimit(const tly::RestExchangeResult& result, const std::string& endpoint,
                                        const tly::RestExchangeRequest& request) {
    using Stop = tly::RestExchangeResult::Stop;
    if (result.stop == Stop::OutOfTime) {
        Log(LogLevel::Error, "deadline_exceeded", "REST request ran out of time",
            {{"endpoint", endpoint}, {"elapsed_ms", result.elapsedMs}, {"deadline_ms", request.deadlineMs}});
        NoteTrouble(TroubleCause::TimedOut, ERROR_WINHTTP_TIMEOUT, result.status, endpoint);
        return "Request ran out of time after " + std::to_string(result.elapsedMs) + " ms";
    }
    if (result.stop == Stop::TooLarge) {
        LogFields fields{{"endpoint", endpoint}, {"status_code", result.status}, {"cap_bytes", request.maxBodyBytes}};
        if (result.announcedBytes != 0) fields.emplace_back("announced_bytes", result.announcedBytes);
        Log(LogLevel::Error, "response_too_large", "REST answer larger than its cap refused", fields);
        NoteTrouble(TroubleCause::Other, 0, result.status, endpoint);
        return "Answer larger than " + std::to_string(request.maxBodyBytes) + " bytes";
    }
    Log(LogLevel::Info, "request_stopped", "REST request stopped because the client was closed",
        {{"endpoint", endpoint}, {"elapsed_ms", result.elapsedMs}});
    return "REST client closed";
}

std::string TLYRestClient::RefuseRedirect(const std::string& endpoint, std::uint32_t status,
                                          const std::string& target) {
    Log(LogLevel::Error, "redirect_refused", "The server answered with a redirect, which is never followed",
        {{"endpoint", endpoint}, {"status_code", status}, {"redirect_to", target}});
    NoteTrouble(TroubleCause::RedirectRefused, 0, status, endpoint);
    return tly::RedirectRefusedText(status, target);
}

void TLYRestClient::NoteTrouble(TroubleCause cause, std::uint32_t win32Error, std::uint32_t status,
                                const std::string& endpoint) {
    tly::MutexLock lock(stateMutex_);
    // While the credentials stand refused, a request turned away for want of
    // a token says less than the refusal itself, which stays the cause.
    if (credentialsRejected_ && cause == TroubleCause::CredentialsRejected && endpoint != "/auth/token" &&
        lastTrouble_.cause == TroubleCause::CredentialsRejected) {
        return;
    }
    lastTrouble_.cause = cause;
    lastTrouble_.win32Error = win32Error;
    lastTrouble_.statusCode = status;
    lastTrouble_.concerning = endpoint;
}

void TLYRestClient::NoteReached() {
    {
        tly::MutexLock lock(stateMutex_);
        lastTrouble_ = TransportTrouble{};
    }
    // The server answers: a failure seen from now on is news again.
    tly::EndRepeatedFailures("rest_client/");
    tly::EndRepeatedFailures("crypto/");
}

TransportTrouble TLYRestClient::LastTrouble() const {
    tly::MutexLock lock(stateMutex_);
    return lastTrouble_;
}

bool TLYRestClient::GetWithRetry(const std::string& endpoint, std::string& response) {
    return SendWithRetry(kGet, endpoint, response);
}

bool TLYRestClient::PostWithRetry(const std::string& endpoint, std::string& response) {
    return SendWithRetry(kPost, endpoint, response);
}

bool TLYRestClient::SendWithRetry(const RestVerb& verb, const std::string& endpoint, std::string& response) {
    RefreshTokenIfDue();
    std::uint32_t statusCode = 0;
    if (Send(verb, endpoint, response, statusCode)) return true;

    std::string id;
    std::string secret;
    {
        tly::MutexLock lock(stateMutex_);
        id = clientId;
        secret = clientSecret;
    }
    if (statusCode != kReauthenticateStatus || id.empty()) return false;
    Log(LogLevel::Warn, "auth_retry", verb.reauthenticating, {{"endpoint", endpoint}});
    ClearToken();
    if (!Authenticate(id, secret)) return false;
    return Send(verb, endpoint, response, statusCode);
}

bool TLYRestClient::VerifyServerCertificate(HINTERNET request) {
    std::string pin;
    {
        tly::MutexLock lock(stateMutex_);
        if (validateCert) return true;
        pin = pinnedThumbprint;
    }
    const std::string actual = CheckCertificatePin(request, pin);
    if (actual.empty()) return false;

    bool pinnedNow = false;
    std::string pinnedMeanwhile;
    {
        tly::MutexLock lock(stateMutex_);
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
