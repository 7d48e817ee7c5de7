#pragma once
// Small steps shared by the REST and WebSocket clients on WinHTTP requests.

#include "logging/Log.h"
#include "transport/InternetHandles.h"

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

// The whole body, read in the pieces WinHttpQueryDataAvailable announces.
// Returns NO_ERROR when the body is complete, otherwise the read's error code:
// a connection that ends before the announced Content-Length counts as
// ERROR_WINHTTP_CONNECTION_ERROR, since the platform may report such an end as
// a normal one. body then holds what did arrive.
DWORD ReadResponseBody(HINTERNET request, std::string& body);

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
