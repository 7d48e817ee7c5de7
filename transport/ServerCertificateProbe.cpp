#include "transport/ServerCertificateProbe.h"

#include "platform/TextConversion.h"
#include "settings/Thumbprint.h"
#include "transport/InternetHandles.h"
#include "transport/WinHttpSupport.h"

namespace {

constexpr wchar_t kUserAgent[] = L"Tallyport-Corvanta-Translator/1.0";
constexpr wchar_t kProbePath[] = L"/api/corvanta/status";
constexpr DWORD kResponseTimeoutMs = 10000;

// Errors with which platform validation refuses a certificate (Windows reports
// most as a secure failure, Wine as a secure channel error before any byte is
// sent; the latter also means "no TLS at all", which the lenient request tells).
bool IsCertificateError(DWORD error) {
    switch (error) {
        case ERROR_WINHTTP_SECURE_FAILURE:
        case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:
        case ERROR_WINHTTP_SECURE_INVALID_CA:
        case ERROR_WINHTTP_SECURE_INVALID_CERT:
        case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
        case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
        case ERROR_WINHTTP_SECURE_CERT_REVOKED:
        case ERROR_WINHTTP_SECURE_CERT_REV_FAILED:
        case ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE:
            return true;
        default:
            return false;
    }
}

std::string ServerThumbprint(HINTERNET request) {
    const tly::UniqueCertContext certificate = tly::QueryServerCertificate(request);
    if (!certificate) return {};
    return ComputeCertThumbprint(certificate.get()->pbCertEncoded, certificate.get()->cbCertEncoded);
}

// One request on the connection; on success the server's thumbprint, else the error.
bool ProbeRequest(HINTERNET connection, bool ignoreCertificateErrors, std::string& thumbprint, DWORD& error) {
    tly::UniqueInternet request(::WinHttpOpenRequest(connection, L"GET", kProbePath, nullptr, WINHTTP_NO_REFERER,
                                                     WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE));
    if (!request) {
        error = ::GetLastError();
        return false;
    }
    // A redirect is not followed: the probe looks at this server alone.
    if (!tly::RefuseRedirects(request.get())) {
        error = ::GetLastError();
        return false;
    }
    tly::SetResponseTimeout(request.get(), kResponseTimeoutMs);
    if (ignoreCertificateErrors) tly::IgnoreCertificateErrors(request.get());
    if (!::WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !::WinHttpReceiveResponse(request.get(), nullptr)) {
        error = tly::LastWinHttpError();
        return false;
    }
    thumbprint = ServerThumbprint(request.get());
    tly::DrainResponseBody(request.get());  // leaves the connection clean for reuse
    return true;
}

}  // namespace

ServerCertificateProbe ProbeServerCertificate(const std::string& host, std::uint16_t port, bool checkChain) {
    ServerCertificateProbe probe;
    tly::UniqueInternet session(
        ::WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session) {
        probe.error = ::GetLastError();
        return probe;
    }
    ::WinHttpSetTimeouts(session.get(), 5000, 10000, 10000, kResponseTimeoutMs);
    tly::UniqueInternet connection(::WinHttpConnect(session.get(), tly::Utf8ToWide(host).c_str(), port, 0));
    if (!connection) {
        probe.error = ::GetLastError();
        return probe;
    }

    // Strict first: a lenient request would leave a pooled connection behind
    // that a strict one could reuse without a new handshake.
    if (checkChain) {
        probe.chainChecked = true;
        DWORD error = 0;
        if (ProbeRequest(connection.get(), false, probe.thumbprint, error)) {
            probe.chainValid = true;
            probe.handshake = true;
            return probe;
        }
        if (!IsCertificateError(error)) {
            probe.error = error;
            return probe;
        }
    }
    probe.handshake = ProbeRequest(connection.get(), true, probe.thumbprint, probe.error);
    return probe;
}
