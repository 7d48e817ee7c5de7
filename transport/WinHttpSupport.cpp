#include "transport/WinHttpSupport.h"

#include "logging/RepeatedLines.h"
#include "platform/TextConversion.h"

#include <algorithm>
#include <climits>
#include <cwchar>
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

bool RefuseRedirects(HINTERNET request) {
    DWORD policy = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
    return ::WinHttpSetOption(request, WINHTTP_OPTION_REDIRECT_POLICY, &policy, sizeof(policy)) != FALSE;
}

bool RequireTls12OrLater(HINTERNET session) {
    // A platform that does not know TLS 1.3 refuses the whole set: then 1.2 alone.
    for (DWORD protocols : {DWORD{WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3},
                            DWORD{WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2}}) {
        if (::WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof(protocols))) return true;
    }
    return false;
}

std::string RedirectTargetOf(const std::string& location) {
    if (location.empty()) return "nowhere";
    // "https://host/...", or "//host/..." (the same scheme); anything else is a path on this server.
    std::size_t scheme = location.find("://");
    if (scheme == 0 || location.find_first_of("/?#") != scheme + 1) scheme = std::string::npos;  // "/x?u=https://..."
    const bool sameScheme = location.rfind("//", 0) == 0;
    if (scheme == std::string::npos && !sameScheme) return "the same server";
    const std::size_t start = sameScheme ? 2 : scheme + 3;
    const std::size_t end = location.find_first_of("/?#", start);
    std::string authority = location.substr(start, end == std::string::npos ? std::string::npos : end - start);
    // "user:password@host": only what follows the last '@' names the server.
    const std::size_t at = authority.rfind('@');
    if (at != std::string::npos) authority.erase(0, at + 1);
    return authority.empty() ? "nowhere" : authority;
}

std::string RedirectTarget(HINTERNET request) {
    DWORD size = 0;
    ::WinHttpQueryHeaders(request, WINHTTP_QUERY_LOCATION, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER,
                          &size, WINHTTP_NO_HEADER_INDEX);
    if (size == 0 || ::GetLastError() != ERROR_INSUFFICIENT_BUFFER) return RedirectTargetOf({});
    std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
    if (!::WinHttpQueryHeaders(request, WINHTTP_QUERY_LOCATION, WINHTTP_HEADER_NAME_BY_INDEX, text.data(), &size,
                               WINHTTP_NO_HEADER_INDEX)) {
        return RedirectTargetOf({});
    }
    text.resize(size / sizeof(wchar_t));
    return RedirectTargetOf(WideToUtf8(text));
}

std::string RedirectRefusedText(std::uint32_t status, const std::string& target) {
    return "HTTP " + std::to_string(status) + ": redirect to " + target + " refused";
}

void SetRequestTimeouts(HINTERNET request, DWORD milliseconds) {
    const int ms = static_cast<int>(std::max<DWORD>(1, std::min<DWORD>(milliseconds, INT_MAX)));
    ::WinHttpSetTimeouts(request, ms, ms, ms, ms);
    SetResponseTimeout(request, static_cast<DWORD>(ms));
}

namespace {

std::uint64_t AnnouncedLength(HINTERNET request) {
    // As text: a length past 4 GiB does not fit the number form's DWORD.
    wchar_t text[32] = {};
    DWORD size = sizeof(text);
    if (!::WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX, text, &size,
                               WINHTTP_NO_HEADER_INDEX)) {
        return 0;
    }
    return std::wcstoull(text, nullptr, 10);
}

BodyRead Ended(BodyEnd end, DWORD error, std::uint64_t announced) { return BodyRead{end, error, announced}; }

}  // namespace

BodyRead ReadResponseBody(HINTERNET request, std::string& body, const BodyLimits& limits) {
    body.clear();
    const std::uint64_t announced = AnnouncedLength(request);
    if (announced > limits.maxBytes) return Ended(BodyEnd::TooLarge, NO_ERROR, announced);
    body.reserve(static_cast<std::size_t>(announced));
    std::vector<char> chunk;
    for (;;) {
        if (limits.stopped && limits.stopped->load()) return Ended(BodyEnd::Stopped, NO_ERROR, announced);
        if (limits.deadlineTick != 0) {
            const std::uint64_t now = ::GetTickCount64();
            if (now >= limits.deadlineTick) return Ended(BodyEnd::OutOfTime, ERROR_WINHTTP_TIMEOUT, announced);
            // A piece is waited for no longer than the answer as a whole may still take.
            SetRequestTimeouts(request, static_cast<DWORD>(limits.deadlineTick - now));
        }
        DWORD available = 0;
        if (!::WinHttpQueryDataAvailable(request, &available)) {
            const DWORD error = LastWinHttpError();
            // Every time-out of the request is what was left of its deadline.
            return Ended(error == ERROR_WINHTTP_TIMEOUT ? BodyEnd::OutOfTime : BodyEnd::Failed, error, announced);
        }
        if (available == 0) break;
        if (available > limits.maxBytes - body.size()) return Ended(BodyEnd::TooLarge, NO_ERROR, announced);
        // Exactly what is available: a larger read waits to fill its buffer and
        // can lose bytes already received when it times out.
        chunk.resize(available);
        DWORD read = 0;
        if (!::WinHttpReadData(request, chunk.data(), available, &read)) {
            const DWORD error = LastWinHttpError();
            return Ended(error == ERROR_WINHTTP_TIMEOUT ? BodyEnd::OutOfTime : BodyEnd::Failed, error, announced);
        }
        body.append(chunk.data(), read);
    }
    if (body.size() < announced) return Ended(BodyEnd::Failed, ERROR_WINHTTP_CONNECTION_ERROR, announced);
    return Ended(BodyEnd::Complete, NO_ERROR, announced);
}

DWORD DrainResponseBody(HINTERNET request) {
    std::string ignored;
    const BodyRead read = ReadResponseBody(request, ignored, BodyLimits{1u << 20, ::GetTickCount64() + 30000, nullptr});
    if (read.end == BodyEnd::Complete) return NO_ERROR;
    return read.error != NO_ERROR ? read.error : ERROR_WINHTTP_INVALID_SERVER_RESPONSE;
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
