#include "transport/CertificatePin.h"

#include "logging/Log.h"
#include "logging/RepeatedLines.h"
#include "settings/ThumbprintCache.h"

namespace {

constexpr char kComponent[] = "crypto";

// Shared by the REST client and the event channel: both meet the same server.
tly::ThumbprintCache& SeenCertificates() {
    static tly::ThumbprintCache cache;
    return cache;
}

// Runs on the sending thread inside WinHttpSendRequest; the context value is
// the request's SendingRequestCheck. Nothing may throw out of it.
void CALLBACK SendingRequestNotification(HINTERNET request, DWORD_PTR context, DWORD status, LPVOID /*info*/,
                                         DWORD /*infoLength*/) {
    if (status != WINHTTP_CALLBACK_STATUS_SENDING_REQUEST || context == 0) return;
    auto& check = *reinterpret_cast<tly::SendingRequestCheck*>(context);
    // A request sent again on the same handle (a resend) notifies again: a
    // handle closed by the first refusal is not closed a second time, which
    // could close whatever handle the platform has handed that value out to since.
    if (check.refused) return;
    check.checked = true;
    bool accepted = false;
    try {
        accepted = check.verify && check.verify(request);
    } catch (...) {
        accepted = false;  // a check that cannot finish refuses
    }
    if (accepted) return;
    check.refused = true;
    // On Windows closing the handle here fails the pending send with 12017 and
    // nothing leaves. Wine sends the request anyway (its headers, an
    // Authorization header included, reach the server; no body is ever sent
    // with them) and reports success, so the sender acts on check.refused.
    ::WinHttpCloseHandle(request);
}

}  // namespace

std::string CheckCertificatePin(HINTERNET request, const std::string& pin) {
    tly::UniqueCertContext certificate = tly::QueryServerCertificate(request);
    if (!certificate) {
        const DWORD error = ::GetLastError();
        LogEvent(LogLevel::Error, kComponent, "cert.query_failed",
                 "Could not query server certificate for thumbprint verification — connection refused",
                 {{"win32_error", error}});
        return {};
    }
    // Hashed once per certificate: every request over a kept-alive connection
    // presents the same bytes again, while a changed certificate is hashed anew.
    const std::string actual =
        SeenCertificates().Thumbprint(certificate.get()->pbCertEncoded, certificate.get()->cbCertEncoded);
    certificate.reset();
    if (actual.empty()) {
        LogEvent(LogLevel::Error, kComponent, "cert.thumbprint_compute_failed",
                 "Failed to compute certificate thumbprint — connection refused");
        return {};
    }
    if (!pin.empty() && pin != actual) {
        LogThumbprintMismatch(pin, actual);
        return {};
    }
    return actual;
}

// Every request meets the same certificate while it stays swapped: the
// mismatch is written in full once, then summarised until a request gets through.
void LogThumbprintMismatch(const std::string& expected, const std::string& actual) {
    tly::LogRepeatedFailure(LogLevel::Error, kComponent, "cert.thumbprint_mismatch",
                            "Server certificate thumbprint mismatch — connection refused. If the server certificate "
                            "was intentionally changed, clear the cert_thumbprint field in the settings file.",
                            {{"expected", expected}, {"actual", actual}},
                            std::string(kComponent) + "/cert.thumbprint_mismatch/" + expected + "/" + actual);
}

namespace tly {

bool InstallSendingRequestCheck(HINTERNET request, SendingRequestCheck& check) {
    DWORD_PTR context = reinterpret_cast<DWORD_PTR>(&check);
    if (!::WinHttpSetOption(request, WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof(context))) return false;
    return ::WinHttpSetStatusCallback(request, SendingRequestNotification, WINHTTP_CALLBACK_STATUS_SENDING_REQUEST,
                                      0) != WINHTTP_INVALID_STATUS_CALLBACK;
}

bool PinRefusedRequest(SendingRequestCheck& check, UniqueInternet& request, bool sent) {
    if (check.refused) {
        request.release();  // closed by the notification
        return true;
    }
    if (sent && !check.checked) {
        bool accepted = false;
        try {
            accepted = check.verify && check.verify(request.get());
        } catch (...) {
        }
        check.checked = true;
        check.refused = !accepted;
    }
    return check.refused;
}

}  // namespace tly
