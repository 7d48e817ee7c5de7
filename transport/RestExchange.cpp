#include "transport/RestExchange.h"

#include "transport/CertificatePin.h"

#include <algorithm>

namespace tly {
namespace {

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

// The time an exchange has: its deadline on the real tick count, which is the
// network's time whatever clock the rest of the module reads.
class ExchangeClock {
public:
    explicit ExchangeClock(std::uint32_t deadlineMs)
        : started_(::GetTickCount64()), deadline_(started_ + std::max<std::uint32_t>(deadlineMs, 1)) {}
    std::uint64_t DeadlineTick() const { return deadline_; }
    bool Passed() const { return ::GetTickCount64() >= deadline_; }
    DWORD LeftMs() const {
        const std::uint64_t now = ::GetTickCount64();
        return now >= deadline_ ? 0 : static_cast<DWORD>(deadline_ - now);
    }
    std::uint32_t ElapsedMs() const { return static_cast<std::uint32_t>(::GetTickCount64() - started_); }

private:
    std::uint64_t started_;
    std::uint64_t deadline_;
};

RestExchangeResult Stopped(RestExchangeResult::Stop stop, DWORD win32Error, const ExchangeClock& clock) {
    RestExchangeResult result;
    // Every time-out of the request is what was left of its deadline.
    using Stop = RestExchangeResult::Stop;
    const bool waited = stop == Stop::Send || stop == Stop::Receive;
    const bool outOfTime = waited && (win32Error == ERROR_WINHTTP_TIMEOUT || clock.Passed());
    result.stop = outOfTime ? Stop::OutOfTime : stop;
    result.win32Error = win32Error;
    result.elapsedMs = clock.ElapsedMs();
    return result;
}

bool StopRequested(const RestExchangeRequest& description) {
    return description.stopped != nullptr && description.stopped->load();
}

}  // namespace

RestExchangeResult ExchangeRequest(HINTERNET connection, const RestExchangeRequest& description) {
    using Stop = RestExchangeResult::Stop;
    const ExchangeClock clock(description.deadlineMs);
    if (StopRequested(description)) return Stopped(Stop::Stopped, 0, clock);
    // A host call with no time left starts nothing it could not wait for.
    if (description.deadlineMs == 0) return Stopped(Stop::OutOfTime, ERROR_WINHTTP_TIMEOUT, clock);
    UniqueInternet request(::WinHttpOpenRequest(connection, description.verb, description.path.c_str(), nullptr,
                                                WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE));
    if (!request) return Stopped(Stop::Open, ::GetLastError(), clock);
    if (!RefuseRedirects(request.get())) return Stopped(Stop::Open, ::GetLastError(), clock);

    // The request's own time-outs and, with validation off, the pin check (the
    // platform's certificate errors are then left to it).
    SetRequestTimeouts(request.get(), clock.LeftMs());
    SendingRequestCheck pin;
    if (description.verifyPin) {
        pin.verify = description.verifyPin;
        IgnoreCertificateErrors(request.get());
        if (!InstallSendingRequestCheck(request.get(), pin)) {
            return Stopped(Stop::PinCheckSetup, ::GetLastError(), clock);
        }
    }
    if (!description.headers.empty()) {
        ::WinHttpAddRequestHeaders(request.get(), description.headers.c_str(), static_cast<DWORD>(-1),
                                   WINHTTP_ADDREQ_FLAG_ADD);
    }
    if (description.beforeSend) description.beforeSend();

    // The headers go out alone and the body only once the pin has held. Windows
    // stops a refused request before anything leaves; under Wine its headers
    // (with a bearer token) reach the refused server, but no body goes and no
    // response is read from it.
    const BOOL sent = ::WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA,
                                           0, static_cast<DWORD>(description.body.size()), 0);
    const DWORD sendError = sent ? 0 : LastWinHttpError();
    if (description.verifyPin && PinRefusedRequest(pin, request, sent)) return Stopped(Stop::PinRefused, 0, clock);
    if (!sent) return Stopped(Stop::Send, sendError, clock);
    if (StopRequested(description)) return Stopped(Stop::Stopped, 0, clock);
    if (!WriteBody(request.get(), description.body)) return Stopped(Stop::Send, LastWinHttpError(), clock);
    if (clock.Passed()) return Stopped(Stop::OutOfTime, ERROR_WINHTTP_TIMEOUT, clock);
    SetRequestTimeouts(request.get(), clock.LeftMs());
    if (!::WinHttpReceiveResponse(request.get(), nullptr)) {
        return Stopped(Stop::Receive, LastWinHttpError(), clock);
    }

    RestExchangeResult result;
    result.status = QueryStatusCode(request.get());
    if (IsRedirectStatus(result.status)) result.redirectTarget = RedirectTarget(request.get());
    const BodyRead read = ReadResponseBody(
        request.get(), result.body, BodyLimits{description.maxBodyBytes, clock.DeadlineTick(), description.stopped});
    result.elapsedMs = clock.ElapsedMs();
    result.announcedBytes = read.announcedBytes;
    switch (read.end) {
    case BodyEnd::Complete: break;
    case BodyEnd::Failed: result.readError = read.error; break;
    case BodyEnd::TooLarge:
        result.stop = Stop::TooLarge;
        result.body.clear();
        result.body.shrink_to_fit();
        break;
    case BodyEnd::OutOfTime:
        result.stop = Stop::OutOfTime;
        result.win32Error = ERROR_WINHTTP_TIMEOUT;
        break;
    case BodyEnd::Stopped: result.stop = Stop::Stopped; break;
    }
    return result;
}

}  // namespace tly
