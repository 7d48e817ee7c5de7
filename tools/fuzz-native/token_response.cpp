// The token endpoint's answer, "/auth/token". Checked against the JSON
// library's own reading of the same text: the reader fails exactly when the
// answer is not an object or a member it reads has the wrong type; the token
// is the text sent; the renewal point is three quarters of the lifetime, in
// milliseconds, held within what the tick count can measure.

#include "platform/JsonDocument.h"
#include "tools/fuzz-native/FuzzCheck.h"
#include "transport/TokenResponse.h"

#include <cmath>
#include <optional>

namespace {

using fuzz_native::Check;
using nlohmann::json;

constexpr long double kLongestRefreshMs = 2147483647.0L;

// "expires_in" as the reader must take it, or nothing when it must refuse it.
std::optional<long double> ExpectedLifetime(const json& document) {
    const auto it = document.find("expires_in");
    if (it == document.end()) return 0.0L;
    if (it->is_boolean()) return it->get<bool>() ? 1.0L : 0.0L;
    if (it->is_number_unsigned()) return static_cast<long double>(it->get<std::uint64_t>());
    if (it->is_number_integer()) return static_cast<long double>(it->get<std::int64_t>());
    if (it->is_number_float()) return std::trunc(static_cast<long double>(it->get<double>()));
    return std::nullopt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const json document = tly::ParseJsonOrDiscard(text);

    std::optional<TokenResponse> read;
    try {
        read = ReadTokenResponse(text);
    } catch (const json::exception&) {
    }

    if (document.is_discarded() || !document.is_object()) {
        Check(!read, "an answer that is not a JSON object is refused", text);
        return 0;
    }
    const auto token = document.find("access_token");
    if (token != document.end() && !token->is_string()) {
        Check(!read, "a token that is not a string is refused", text);
        return 0;
    }
    const std::string expectedToken = token == document.end() ? std::string() : token->get<std::string>();
    if (expectedToken.empty()) {
        Check(read && read->accessToken.empty() && read->refreshAfterMs == 0,
              "an answer without a token is read as one, whatever its lifetime", text);
        return 0;
    }
    const std::optional<long double> lifetime = ExpectedLifetime(document);
    if (!lifetime) {
        Check(!read, "a lifetime that is not a number is refused", text);
        return 0;
    }
    Check(read.has_value(), "an object with a string token and a numeric lifetime is read", text);
    Check(read->accessToken == expectedToken, "the token is the text sent", text);
    const long double clamped = std::fmin(std::fmax(*lifetime, -9223372036854775808.0L), 9223372036854775807.0L);
    Check(static_cast<long double>(read->expiresIn) == clamped, "the lifetime is the number sent, held to 64 bits",
          text);
    const long double refresh = clamped <= 0 ? 0.0L : std::fmin(clamped * 750.0L, kLongestRefreshMs);
    Check(static_cast<long double>(read->refreshAfterMs) == std::floor(refresh),
          "the renewal is at three quarters of the lifetime, within the tick count's reach", text);
    return 0;
}
