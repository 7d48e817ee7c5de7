#pragma once
// Owners for the WinHTTP and certificate handles of the transport.

#include "platform/UniqueResource.h"

#include <windows.h>
#include <wincrypt.h>
#include <winhttp.h>

namespace tly {

struct InternetHandleTraits {
    using Type = HINTERNET;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type h) noexcept { ::WinHttpCloseHandle(h); }
};

struct CertContextTraits {
    using Type = PCCERT_CONTEXT;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type h) noexcept { ::CertFreeCertificateContext(h); }
};

using UniqueInternet = UniqueResource<InternetHandleTraits>;  // sessions, connections, requests, WebSockets
using UniqueCertContext = UniqueResource<CertContextTraits>;

// The certificate the server presented on this request; empty (with the last
// error set) when the platform cannot say.
inline UniqueCertContext QueryServerCertificate(HINTERNET request) {
    PCCERT_CONTEXT raw = nullptr;
    DWORD size = sizeof(raw);
    if (!::WinHttpQueryOption(request, WINHTTP_OPTION_SERVER_CERT_CONTEXT, &raw, &size)) return UniqueCertContext();
    return UniqueCertContext(raw);
}

}  // namespace tly
