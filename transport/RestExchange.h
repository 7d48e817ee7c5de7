#pragma once
// One HTTPS request and its response on the REST client's connection, every
// step in the order the platform needs: open, time-outs and the pin check,
// the headers alone, the pin's verdict, then the body, the response and its
// body. A body (the client secret) therefore never reaches a server the pin
// refused. The exchange logs nothing itself, the pin check's refusal apart:
// each kind of request words its own lines from where the exchange stopped.

#include "transport/InternetHandles.h"
#include "transport/WinHttpSupport.h"

#include <cstdint>
#include <functional>
#include <string>

namespace tly {

struct RestExchangeRequest {
    const wchar_t* verb = L"GET";
    std::wstring path;
    std::wstring headers;  // "Name: value" lines joined by CR LF; empty: none
    std::string body;      // written once the headers are out and the pin held
    DWORD receiveTimeoutMs = 30000;
    // With validation off, the pin check of the request; null with validation on.
    std::function<bool(HINTERNET request)> verifyPin;
    // Runs just before the headers leave (a trace line); may be null.
    std::function<void()> beforeSend;
};

struct RestExchangeResult {
    enum class Stop {
        None,            // a response arrived: status and body hold it
        Open,            // WinHttpOpenRequest failed
        PinCheckSetup,   // the pin check could not be installed; nothing was sent
        PinRefused,      // the pin refused the server (logged by the check)
        Send,            // the headers or the body could not be sent
        Receive,         // no response arrived
    };
    Stop stop = Stop::None;
    DWORD win32Error = 0;         // of the step that stopped the exchange
    std::uint32_t status = 0;     // the HTTP status; 0 when no response arrived
    std::string body;             // the response body, as much as arrived
    DWORD readError = NO_ERROR;   // NO_ERROR when the body is complete
};

RestExchangeResult ExchangeRequest(HINTERNET connection, const RestExchangeRequest& request);

}  // namespace tly
