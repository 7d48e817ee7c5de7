#pragma once
// The token endpoint's answer read into what the REST client keeps: the
// access token and when to renew it. Reading only; the client stores it.

#include <cstdint>
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
