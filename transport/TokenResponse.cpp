// The token endpoint's answer, read whole before anything is kept: an answer
// that cannot be read leaves the client with no token rather than half of one.
#include "transport/TokenResponse.h"

#include "platform/JsonDocument.h"
#include "platform/JsonRead.h"

#include <nlohmann/json.hpp>

namespace {

constexpr std::int64_t kLongestRefreshMs = 2147483647;  // the longest wait for a renewal, about 24.8 days

std::int64_t ReadExpiresIn(const nlohmann::json& document) {
    const json_read::IntegerReading<std::int64_t> read = json_read::ReadInteger<std::int64_t>(document, "expires_in");
    if (read.found == json_read::Found::Missing) return 0;
    if (read.found != json_read::Found::Value) json_read::ThrowLibraryTypeError<std::int64_t>(*read.member);
    return read.value;
}

// Renewal at three quarters of the lifetime, in milliseconds, within the
// longest wait the tick count can measure.
std::uint32_t RefreshPointMs(std::int64_t expiresIn) {
    if (expiresIn <= 0) return 0;
    if (expiresIn > kLongestRefreshMs / 750) return static_cast<std::uint32_t>(kLongestRefreshMs);
    return static_cast<std::uint32_t>(expiresIn * 750);
}

}  // namespace

TokenResponse ReadTokenResponse(const std::string& body) {
    const nlohmann::json document = tly::ParseJson(body);
    TokenResponse response;
    response.accessToken = json_read::String(document, "access_token");
    if (response.accessToken.empty()) return response;  // nothing to renew
    response.expiresIn = ReadExpiresIn(document);
    response.refreshAfterMs = RefreshPointMs(response.expiresIn);
    return response;
}
