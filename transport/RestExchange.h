#pragma once
// One HTTPS request and its response on the REST client's connection, every
// step in the order the platform needs: open, no redirects, time-outs and the pin check,
// the headers alone, the pin's verdict, then the body, the response and its
// body. Every step waits no longer than the request's deadline leaves, the
// answer's body is held to its cap, and a client closed meanwhile stops the
// exchange at the next step. A body (the client secret) therefore never reaches a server the pin
// refused. The exchange logs nothing itself, the pin check's refusal apart:
// each kind of request words its own lines from where the exchange stopped.

#include "transport/InternetHandles.h"
#include "transport/WinHttpSupport.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace tly {

struct RestExchangeRequest {
    const wchar_t* verb = L"GET";
    std::wstring path;
    std::wstring headers;  // "Name: value" lines joined by CR LF; empty: none
    std::string body;      // written once the headers are out and the pin held
    // From the first step to the last byte of the answer (see RequestLimits.h).
    std::uint32_t deadlineMs = 30000;
    std::size_t maxBodyBytes = 1u << 20;
    // Set when the client is closed; looked at between steps. May be null.
    const std::atomic<bool>* stopped = nullptr;
    // With validation off, the pin check of the request; null with validation on.
    std::function<bool(HINTERNET request)> verifyPin;
    // Runs just before the headers leave (a trace line); may be null.
    std::function<void()> beforeSend;
};

struct RestExchangeResult {
    enum class Stop {
        None,            // a response arrived: status and body hold it
        Open,            // WinHttpOpenRequest failed, or redirects could not be turned off
        PinCheckSetup,   // the pin check could not be installed; nothing was sent
        PinRefused,      // the pin refused the server (logged by the check)
        Send,            // the headers or the body could not be sent
        Receive,         // no response arrived
        OutOfTime,       // the deadline came before the whole answer
        TooLarge,        // the answer's body is larger than its cap (status holds its status)
        Stopped,         // the client was closed while the request was under way
    };
    Stop stop = Stop::None;
    DWORD win32Error = 0;         // of the step that stopped the exchange
    std::uint32_t status = 0;     // the HTTP status; 0 when no response arrived
    std::string body;             // the response body, as much as arrived
    DWORD readError = NO_ERROR;   // NO_ERROR when the body is complete
    std::uint32_t elapsedMs = 0;  // from the first step to where the exchange ended
    std::uint64_t announcedBytes = 0;  // the answer's Content-Length; 0 without one
    std::string redirectTarget;   // where a 3xx answer points (RedirectTarget); empty otherwise
};

RestExchangeResult ExchangeRequest(HINTERNET connection, const RestExchangeRequest& request);

}  // namespace tly
