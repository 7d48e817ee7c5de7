#include "transport/WinHttpSupport.h"

#include <vector>

namespace tly {

void IgnoreCertificateErrors(HINTERNET request) {
    DWORD flags = SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_WRONG_USAGE |
                  SECURITY_FLAG_IGNORE_CERT_CN_INVALID | SECURITY_FLAG_IGNORE_CERT_DATE_INVALID;
    ::WinHttpSetOption(request, WINHTTP_OPTION_SECURITY_FLAGS, &flags, sizeof(flags));
}

void SetResponseTimeout(HINTERNET request, DWORD milliseconds) {
    ::WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &milliseconds, sizeof(milliseconds));
}

std::uint32_t QueryStatusCode(HINTERNET request) {
    DWORD status = 0;
    DWORD size = sizeof(status);
    ::WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, WINHTTP_HEADER_NAME_BY_INDEX,
                          &status, &size, WINHTTP_NO_HEADER_INDEX);
    return status;
}

DWORD ReadResponseBody(HINTERNET request, std::string& body) {
    body.clear();
    std::vector<char> chunk;
    for (;;) {
        DWORD available = 0;
        if (!::WinHttpQueryDataAvailable(request, &available)) return LastWinHttpError();
        if (available == 0) break;
        // Exactly what is available: a larger read waits to fill its buffer and
        // can lose bytes already received when it times out.
        chunk.resize(available);
        DWORD read = 0;
        if (!::WinHttpReadData(request, chunk.data(), available, &read)) return LastWinHttpError();
        body.append(chunk.data(), read);
    }
    DWORD announced = 0;
    DWORD size = sizeof(announced);
    if (::WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH | WINHTTP_QUERY_FLAG_NUMBER,
                              WINHTTP_HEADER_NAME_BY_INDEX, &announced, &size, WINHTTP_NO_HEADER_INDEX) &&
        body.size() < announced) {
        return ERROR_WINHTTP_CONNECTION_ERROR;
    }
    return NO_ERROR;
}

DWORD LastWinHttpError() {
    const DWORD error = ::GetLastError();
    return error == WSAETIMEDOUT ? ERROR_WINHTTP_TIMEOUT : error;
}

}  // namespace tly
