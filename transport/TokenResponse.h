#pragma once
// The token endpoint's answer read into what the REST client keeps: the
// access token and when to renew it. Reading only; the client stores it.

#include <cstdint>
#include <exception>
#include <string>

struct TokenResponse {
    std::string accessToken;          // empty when the answer carries none
    std::int64_t expiresIn = 0;       // seconds, as sent (0 when absent)
    std::uint32_t refreshAfterMs = 0; // three quarters of the lifetime; 0: never renewed ahead of time
};

// Throws the JSON library's exception for text that is not a JSON object, or
// for "access_token" or "expires_in" of the wrong type (null included); an
// answer without a token is returned as it is, "expires_in" unread.
// "expires_in": a fraction is truncated, a boolean counts as 0 or 1, a number
// beyond 64 bits is held at the nearest end of the range.
TokenResponse ReadTokenResponse(const std::string& body);

// What a token answer looks like, without a byte of its values, for a log
// line about an answer that could not be used: its length, and the JSON type
// of the whole and of each member (strings with their length), as
// 'object of 2 members, 39 bytes: "access_token" number, "expires_in" string (4 bytes)'
// or 'not JSON, 9 bytes'. A member name a token endpoint does not use is
// given by its length only.
std::string DescribeTokenAnswer(const std::string& body);

// Why a token answer could not be read, from the exception ReadTokenResponse
// threw, without the parser's text (which quotes the answer): "not JSON
// (syntax error at byte 17)", "a member of the wrong type".
std::string TokenAnswerFailure(const std::exception& error);

// The body of a refused token request as a log line may carry it: the body
// itself when it is a JSON object of the standard error members only
// ("error", "error_description", "error_uri"), which name no credential;
// otherwise its shape (DescribeTokenAnswer), since it may hold a token.
std::string TokenRefusalForLog(const std::string& body);
