#pragma once
// Small steps shared by the REST and WebSocket clients on WinHTTP requests.

#include "logging/Log.h"
#include "transport/InternetHandles.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace tly {

// Certificate errors are left to the pin: untrusted root, wrong usage, name
// mismatch and expiry are ignored on this request.
void IgnoreCertificateErrors(HINTERNET request);

// How long one request waits for the response. WinHttpSetTimeouts on the
// session does not bound that wait everywhere (under Wine a server that accepts
// and never answers blocks the send for ever), so each request carries it.
void SetResponseTimeout(HINTERNET request, DWORD milliseconds);

// The HTTP status of a received response; 0 when it cannot be read.
std::uint32_t QueryStatusCode(HINTERNET request);

// Redirects are never followed: a 3xx answer is returned as it is, so the
// bearer token never goes to wherever a server (or whoever answers in its
// place) points. False (with the last error set) when it cannot be set; the
// request must then not be sent.
bool RefuseRedirects(HINTERNET request);

// Only TLS 1.2 and later on every connection of the session (TLS 1.3 where
// the platform knows it). False (with the last error set) when the platform
// refuses both forms; the session must then not be used.
bool RequireTls12OrLater(HINTERNET session);

// Whether a status is a redirect (3xx).
inline bool IsRedirectStatus(std::uint32_t status) { return status >= 300 && status < 400; }

// Where a redirect answer points, as "host:port" (the port only when the
// Location gives one), "the same server" for a relative Location, "nowhere"
// without one. Never a path, a query or user information: those may carry
// credentials.
std::string RedirectTarget(HINTERNET request);
// The same from the Location header's text.
std::string RedirectTargetOf(const std::string& location);

// The error text and log message of a refused redirect:
// "HTTP 302: redirect to other.example:8443 refused".
std::string RedirectRefusedText(std::uint32_t status, const std::string& target);

// How a body read ended.
enum class BodyEnd {
    Complete,
    Failed,     // a read failed (error), or the connection ended before the announced length
    TooLarge,   // the answer is, or announces itself, larger than the cap; nothing more is read
    OutOfTime,  // the deadline came first
    Stopped,    // the client was closed meanwhile
};

struct BodyLimits {
    std::size_t maxBytes = 1u << 20;
    std::uint64_t deadlineTick = 0;  // GetTickCount64 at which reading stops; 0: no deadline
    const std::atomic<bool>* stopped = nullptr;  // looked at between pieces; may be null
};

struct BodyRead {
    BodyEnd end = BodyEnd::Complete;
    DWORD error = NO_ERROR;           // of a failed read
    std::uint64_t announcedBytes = 0;  // the Content-Length, 0 without one
};

// The whole body, read in the pieces WinHttpQueryDataAvailable announces, each
// piece waited for no longer than the deadline leaves (the request's receive
// time-out is lowered before each), and never more than the cap held: an
// announced length above it is refused before a byte is read, and a body
// without one as soon as it passes the cap. A connection that ends before the
// announced Content-Length counts as a failed read with
// ERROR_WINHTTP_CONNECTION_ERROR, since the platform may report such an end as
// a normal one. body then holds what did arrive.
BodyRead ReadResponseBody(HINTERNET request, std::string& body, const BodyLimits& limits);

// The body of an answer whose content does not matter (a probe's), read to
// leave the connection clean: at most 1 MiB within 30 s. NO_ERROR when complete.
DWORD DrainResponseBody(HINTERNET request);

// Sets every time-out of a request (resolve, connect, send, receive and the
// wait for the response) to milliseconds; 0 is raised to 1, since WinHTTP
// reads 0 as "no time-out".
void SetRequestTimeouts(HINTERNET request, DWORD milliseconds);

// The name of a WinHTTP or Winsock error code as the platform's headers spell
// it ("ERROR_WINHTTP_CANNOT_CONNECT"), for a log line beside the number; null
// for a code without one here.
const char* WinHttpErrorName(std::uint32_t error);

// A line of one of the clients (component "rest_client" or "websocket"):
// WinHTTP's error codes are written with their names beside them, and a
// warning or an error that repeats while the server stays unreachable is
// written in full once, then summarised (see RepeatedLines.h) until a request
// gets through.
void LogTransportLine(LogLevel level, const char* component, const char* event, const std::string& message,
                      const LogFields& fields);

// GetLastError, with Winsock's time-out (10060, seen under Wine) reported as
// WinHTTP's (12002), so a time-out reads the same on every platform.
DWORD LastWinHttpError();

}  // namespace tly
