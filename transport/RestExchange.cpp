#include "transport/RestExchange.h"

#include "transport/CertificatePin.h"

#include <algorithm>

namespace tly {
namespace {

// The response wait and the wait for each later piece of the body. The session
// carries the same receive time-out; the request's own copy lets a test shorten both.
void SetReceiveTimeouts(HINTERNET request, DWORD milliseconds) {
    SetResponseTimeout(request, milliseconds);
    ::WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_TIMEOUT, &milliseconds, sizeof(milliseconds));
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

RestExchangeResult Stopped(RestExchangeResult::Stop stop, DWORD win32Error) {
    RestExchangeResult result;
    result.stop = stop;
    result.win32Error = win32Error;
    return result;
}

}  // namespace

RestExchangeResult ExchangeRequest(HINTERNET connection, const RestExchangeRequest& description) {
    using Stop = RestExchangeResult::Stop;
    UniqueInternet request(::WinHttpOpenRequest(connection, description.verb, description.path.c_str(), nullptr,
                                                WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE));
    if (!request) return Stopped(Stop::Open, ::GetLastError());

    // The request's own time-outs and, with validation off, the pin check (the
    // platform's certificate errors are then left to it).
    SetReceiveTimeouts(request.get(), description.receiveTimeoutMs);
    SendingRequestCheck pin;
    if (description.verifyPin) {
        pin.verify = description.verifyPin;
        IgnoreCertificateErrors(request.get());
        if (!InstallSendingRequestCheck(request.get(), pin)) return Stopped(Stop::PinCheckSetup, ::GetLastError());
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
    if (description.verifyPin && PinRefusedRequest(pin, request, sent)) return Stopped(Stop::PinRefused, 0);
    if (!sent) return Stopped(Stop::Send, sendError);
    if (!WriteBody(request.get(), description.body)) return Stopped(Stop::Send, LastWinHttpError());
    if (!::WinHttpReceiveResponse(request.get(), nullptr)) return Stopped(Stop::Receive, LastWinHttpError());

    RestExchangeResult result;
    result.status = QueryStatusCode(request.get());
    result.readError = ReadResponseBody(request.get(), result.body);
    return result;
}

}  // namespace tly
