#pragma once
// The server-certificate thumbprint pin, checked on live WinHTTP requests.

#include "transport/InternetHandles.h"

#include <functional>
#include <string>

// The thumbprint of the request's server certificate when the connection may go
// on (it equals the pin, or the pin is empty); empty when it must be refused.
// Every refusal is logged here.
std::string CheckCertificatePin(HINTERNET request, const std::string& pin);

// The "cert.thumbprint_mismatch" line, with both thumbprints.
void LogThumbprintMismatch(const std::string& expected, const std::string& actual);

namespace tly {

// A certificate check made while a request is being sent: after the TLS
// handshake and before the request's bytes are written. The check lives on the
// sender's stack for one request; WinHTTP is synchronous, so the notification
// runs on the sending thread inside WinHttpSendRequest.
struct SendingRequestCheck {
    std::function<bool(HINTERNET request)> verify;
    bool checked = false;  // verify ran
    bool refused = false;  // verify said no (or threw); the notification closed the request handle
};

// Makes the sending-request notification of this request run check.verify.
// False (with the last-error code set) when it cannot be installed; the
// request must then not be sent.
bool InstallSendingRequestCheck(HINTERNET request, SendingRequestCheck& check);

// After WinHttpSendRequest: whether the pin refused the request. A refusal is
// read from the check, whatever the platform made of the closed handle (Windows
// fails the send with 12017; Wine sends the request anyway and returns TRUE).
// The handle the notification closed is given up here, so it is closed once.
// If the notification never ran although the send went through, the check is
// made now on the request handle, so a missed notification fails closed.
bool PinRefusedRequest(SendingRequestCheck& check, UniqueInternet& request, bool sent);

}  // namespace tly
