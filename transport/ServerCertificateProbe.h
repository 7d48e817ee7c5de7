#pragma once
// A look at the server's TLS endpoint that changes nothing: which certificate
// it presents and whether this machine's platform validation accepts it. It
// sends one request without credentials ("/api/corvanta/status", whose answer
// is ignored), and neither pins nor saves anything. For the field check.

#include <windows.h>

#include <cstdint>
#include <string>

struct ServerCertificateProbe {
    bool handshake = false;   // a TLS session was established (with certificate errors ignored)
    std::string thumbprint;   // the certificate's thumbprint, normalised; empty when none was seen
    bool chainChecked = false;
    bool chainValid = false;  // platform validation accepted the certificate (only when chainChecked)
    DWORD error = 0;          // the WinHTTP error that ended the probe early, else 0
};

// checkChain: also try a request with the platform's full validation first.
ServerCertificateProbe ProbeServerCertificate(const std::string& host, std::uint16_t port, bool checkChain);
