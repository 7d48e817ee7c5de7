#pragma once
// Why the last request to the server failed, in the words an operator reads
// in the log: name not resolved, connection refused, time-out, TLS failure or
// a TLS version not accepted, certificate mismatch, a refused redirect,
// credentials rejected, server error with its status.
// The REST client keeps the last one until a request gets through again.

#include <cstdint>
#include <string>

enum class TroubleCause {
    None,
    NameNotResolved,
    ConnectionRefused,
    TimedOut,
    TlsFailure,
    TlsVersionRefused,  // the handshake failed with only TLS 1.2 and later allowed
    CertificateMismatch,
    RedirectRefused,    // the server answered with a redirect, which is never followed
    CredentialsRejected,
    ServerError,
    ConnectionLost,
    Other,
};

struct TransportTrouble {
    TroubleCause cause = TroubleCause::None;
    std::uint32_t win32Error = 0;  // 0 when the cause is an answer, not a failed call
    std::uint32_t statusCode = 0;  // the HTTP status of an answer; 0 without one
    std::string concerning;        // the endpoint of the request, as "/status" or "/auth/token"
};

// The cause a failed WinHTTP call's error code stands for.
TroubleCause CauseOfWin32Error(std::uint32_t error);
// The same for a failed send. With certificate errors left to the pin
// (validation off), a secure channel that cannot be set up is a handshake
// refused, and with only TLS 1.2 and later allowed that is a server that
// offers less.
TroubleCause CauseOfSendError(std::uint32_t error, bool validating);
// The cause of an answer other than 200 (to a token request when authenticating).
TroubleCause CauseOfStatus(std::uint32_t status, bool authenticating);

// "name_not_resolved", "connection_refused", ...: stable, for scripts.
const char* TroubleCauseName(TroubleCause cause);

// One line for a person: "connection refused (12029 ERROR_WINHTTP_CANNOT_CONNECT) on /status".
std::string DescribeTrouble(const TransportTrouble& trouble);
