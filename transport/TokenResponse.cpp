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

namespace {

constexpr std::size_t kMostNamedMembers = 16;

// The members a token endpoint answers with. Any other name is given by its
// length only: a server that answers wrongly may put anything there, a token too.
bool KnownMemberName(const std::string& name) {
    for (const char* known : {"access_token", "token_type", "expires_in", "refresh_token", "scope", "id_token",
                              "error", "error_description", "error_uri"}) {
        if (name == known) return true;
    }
    return false;
}

// The type of a value, with the size of a string, an array or an object.
std::string TypeOf(const nlohmann::json& value) {
    switch (value.type()) {
    case nlohmann::json::value_t::string:
        return "string (" + std::to_string(value.get_ref<const std::string&>().size()) + " bytes)";
    case nlohmann::json::value_t::array: return "array of " + std::to_string(value.size()) + " elements";
    case nlohmann::json::value_t::object: return "object of " + std::to_string(value.size()) + " members";
    default: return value.type_name();
    }
}

}  // namespace

std::string DescribeTokenAnswer(const std::string& body) {
    const std::string length = std::to_string(body.size()) + " bytes";
    const nlohmann::json document = tly::ParseJsonOrDiscard(body);
    if (document.is_discarded()) return "not JSON, " + length;
    std::string text = TypeOf(document) + ", " + length;
    if (!document.is_object() || document.empty()) return text;
    text += ":";
    std::size_t named = 0;
    for (auto member = document.begin(); member != document.end(); ++member) {
        if (named++ == kMostNamedMembers) {
            text += " ...";
            break;
        }
        const std::string& name = member.key();
        text += named == 1 ? " " : ", ";
        text += KnownMemberName(name) ? "\"" + name + "\"" : "(a name of " + std::to_string(name.size()) + " bytes)";
        text += " " + TypeOf(member.value());
    }
    return text;
}

std::string TokenAnswerFailure(const std::exception& error) {
    if (const auto* parse = dynamic_cast<const nlohmann::json::parse_error*>(&error)) {
        return "not JSON (syntax error at byte " + std::to_string(parse->byte) + ")";
    }
    if (dynamic_cast<const nlohmann::json::type_error*>(&error) ||
        dynamic_cast<const nlohmann::json::out_of_range*>(&error)) {
        return "not an object with \"access_token\" a string and \"expires_in\" a number";
    }
    return "could not be read";
}

std::string TokenRefusalForLog(const std::string& body) {
    const nlohmann::json document = tly::ParseJsonOrDiscard(body);
    bool onlyErrorMembers = document.is_object() && !document.empty();
    if (onlyErrorMembers) {
        for (auto member = document.begin(); member != document.end(); ++member) {
            const std::string& name = member.key();
            if (name != "error" && name != "error_description" && name != "error_uri") onlyErrorMembers = false;
        }
    }
    return onlyErrorMembers ? body : DescribeTokenAnswer(body);
}
