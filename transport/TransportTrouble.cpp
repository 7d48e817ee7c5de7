#include "transport/TransportTrouble.h"

#include "transport/WinHttpSupport.h"

#include <windows.h>
#include <winhttp.h>

TroubleCause CauseOfWin32Error(std::uint32_t error) {
    switch (error) {
        case ERROR_WINHTTP_NAME_NOT_RESOLVED: return TroubleCause::NameNotResolved;
        case ERROR_WINHTTP_CANNOT_CONNECT:
        case WSAECONNREFUSED: return TroubleCause::ConnectionRefused;
        case ERROR_WINHTTP_TIMEOUT:
        case WSAETIMEDOUT: return TroubleCause::TimedOut;
        case ERROR_WINHTTP_SECURE_FAILURE:
        case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:
        case ERROR_WINHTTP_SECURE_INVALID_CA:
        case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
        case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
        case ERROR_WINHTTP_SECURE_CERT_REVOKED:
        case ERROR_WINHTTP_SECURE_INVALID_CERT:
        case ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE:
        case ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED: return TroubleCause::TlsFailure;
        case ERROR_WINHTTP_CONNECTION_ERROR:
        case ERROR_WINHTTP_INVALID_SERVER_RESPONSE:
        case WSAECONNRESET:
        case WSAECONNABORTED: return TroubleCause::ConnectionLost;
        default: return TroubleCause::Other;
    }
}

TroubleCause CauseOfSendError(std::uint32_t error, bool validating) {
    if (!validating && (error == ERROR_WINHTTP_SECURE_CHANNEL_ERROR || error == ERROR_WINHTTP_SECURE_FAILURE)) {
        return TroubleCause::TlsVersionRefused;
    }
    return CauseOfWin32Error(error);
}

TroubleCause CauseOfStatus(std::uint32_t status, bool authenticating) {
    if (status == 401 || status == 403 || (authenticating && status == 400)) return TroubleCause::CredentialsRejected;
    return TroubleCause::ServerError;
}

const char* TroubleCauseName(TroubleCause cause) {
    switch (cause) {
        case TroubleCause::None: return "none";
        case TroubleCause::NameNotResolved: return "name_not_resolved";
        case TroubleCause::ConnectionRefused: return "connection_refused";
        case TroubleCause::TimedOut: return "timed_out";
        case TroubleCause::TlsFailure: return "tls_failure";
        case TroubleCause::TlsVersionRefused: return "tls_version_refused";
        case TroubleCause::CertificateMismatch: return "certificate_mismatch";
        case TroubleCause::RedirectRefused: return "redirect_refused";
        case TroubleCause::CredentialsRejected: return "credentials_rejected";
        case TroubleCause::ServerError: return "server_error";
        case TroubleCause::ConnectionLost: return "connection_lost";
        case TroubleCause::Other: return "other";
    }
    return "other";
}

namespace {

const char* Words(TroubleCause cause) {
    switch (cause) {
        case TroubleCause::None: return "no trouble";
        case TroubleCause::NameNotResolved: return "server name not resolved";
        case TroubleCause::ConnectionRefused: return "connection refused";
        case TroubleCause::TimedOut: return "time-out";
        case TroubleCause::TlsFailure: return "TLS failure";
        case TroubleCause::TlsVersionRefused: return "TLS failure: TLS version not accepted (TLS 1.2 or later is required)";
        case TroubleCause::CertificateMismatch: return "server certificate does not match the pinned thumbprint";
        case TroubleCause::RedirectRefused: return "redirect refused (redirects are never followed)";
        case TroubleCause::CredentialsRejected: return "credentials rejected";
        case TroubleCause::ServerError: return "server error";
        case TroubleCause::ConnectionLost: return "connection lost";
        case TroubleCause::Other: return "request failed";
    }
    return "request failed";
}

}  // namespace

std::string DescribeTrouble(const TransportTrouble& trouble) {
    std::string text = Words(trouble.cause);
    if (trouble.statusCode != 0) text += " (HTTP " + std::to_string(trouble.statusCode) + ")";
    if (trouble.win32Error != 0) {
        text += " (" + std::to_string(trouble.win32Error);
        if (const char* name = tly::WinHttpErrorName(trouble.win32Error)) text += std::string(" ") + name;
        text += ")";
    }
    if (!trouble.concerning.empty()) text += " on " + trouble.concerning;
    return text;
}
