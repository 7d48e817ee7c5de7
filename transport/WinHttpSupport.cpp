#include "transport/WinHttpSupport.h"

#include "logging/RepeatedLines.h"

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

const char* WinHttpErrorName(std::uint32_t error) {
    switch (error) {
#define TLY_ERROR_NAME(code) \
    case code: return #code;
        TLY_ERROR_NAME(ERROR_WINHTTP_TIMEOUT)
        TLY_ERROR_NAME(ERROR_WINHTTP_INTERNAL_ERROR)
        TLY_ERROR_NAME(ERROR_WINHTTP_INVALID_URL)
        TLY_ERROR_NAME(ERROR_WINHTTP_NAME_NOT_RESOLVED)
        TLY_ERROR_NAME(ERROR_WINHTTP_OPERATION_CANCELLED)
        TLY_ERROR_NAME(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE)
        TLY_ERROR_NAME(ERROR_WINHTTP_INCORRECT_HANDLE_STATE)
        TLY_ERROR_NAME(ERROR_WINHTTP_CANNOT_CONNECT)
        TLY_ERROR_NAME(ERROR_WINHTTP_CONNECTION_ERROR)
        TLY_ERROR_NAME(ERROR_WINHTTP_RESEND_REQUEST)
        TLY_ERROR_NAME(ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED)
        TLY_ERROR_NAME(ERROR_WINHTTP_HEADER_NOT_FOUND)
        TLY_ERROR_NAME(ERROR_WINHTTP_INVALID_SERVER_RESPONSE)
        TLY_ERROR_NAME(ERROR_WINHTTP_REDIRECT_FAILED)
        TLY_ERROR_NAME(ERROR_WINHTTP_SECURE_CERT_DATE_INVALID)
        TLY_ERROR_NAME(ERROR_WINHTTP_SECURE_CERT_CN_INVALID)
        TLY_ERROR_NAME(ERROR_WINHTTP_SECURE_INVALID_CA)
        TLY_ERROR_NAME(ERROR_WINHTTP_SECURE_CERT_REV_FAILED)
        TLY_ERROR_NAME(ERROR_WINHTTP_SECURE_CHANNEL_ERROR)
        TLY_ERROR_NAME(ERROR_WINHTTP_SECURE_INVALID_CERT)
        TLY_ERROR_NAME(ERROR_WINHTTP_SECURE_CERT_REVOKED)
        TLY_ERROR_NAME(ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE)
        TLY_ERROR_NAME(ERROR_WINHTTP_SECURE_FAILURE)
        TLY_ERROR_NAME(WSAECONNABORTED)
        TLY_ERROR_NAME(WSAECONNRESET)
        TLY_ERROR_NAME(WSAETIMEDOUT)
        TLY_ERROR_NAME(WSAECONNREFUSED)
        TLY_ERROR_NAME(ERROR_INVALID_HANDLE)
        TLY_ERROR_NAME(ERROR_INVALID_PARAMETER)
        TLY_ERROR_NAME(ERROR_NOT_ENOUGH_MEMORY)
#undef TLY_ERROR_NAME
        default: return nullptr;
    }
}

DWORD LastWinHttpError() {
    const DWORD error = ::GetLastError();
    return error == WSAETIMEDOUT ? ERROR_WINHTTP_TIMEOUT : error;
}

namespace {

// The fields of a line with "win32_error_name" beside a known "win32_error".
LogFields WithErrorName(const LogFields& fields) {
    for (const LogField& field : fields) {
        if (field.key != "win32_error" || !field.value.is_number_integer()) continue;
        const char* name = WinHttpErrorName(field.value.get<std::uint32_t>());
        if (!name) break;
        LogFields named = fields;
        named.emplace_back("win32_error_name", name);
        return named;
    }
    return fields;
}

}  // namespace

void LogTransportLine(LogLevel level, const char* component, const char* event, const std::string& message,
                      const LogFields& fields) {
    const LogFields& named = fields.empty() ? fields : WithErrorName(fields);
    if (level < LogLevel::Warn) {
        LogEvent(level, component, event, message, named);
        return;
    }
    LogRepeatedFailure(level, component, event, message, named, RepeatKey(component, event, fields));
}

}  // namespace tly
