#pragma once
// How long token requests wait after the server refused one: a server that
// locks an account after repeated failures would otherwise lock the site out
// (every panel's every request that meets a 401 asks for a token). The wait
// doubles from kFirstMs with each refusal up to kLongestMs, each wait drawn
// within a quarter either side so processes that share an account spread out,
// and never beyond kMostMs. A token obtained ends it; so do other credentials
// (an operator who corrects the secret is not kept waiting). Only refusals
// count: a request that got no answer is paced by the reconnection rules.
//
// Plain state, no lock: the REST client holds it under its own.

#include <cstdint>
#include <string>

namespace tly {

class TokenBackoff {
public:
    static constexpr std::uint32_t kFirstMs = 2000;
    static constexpr std::uint32_t kLongestMs = 240000;
    static constexpr std::uint32_t kMostMs = kLongestMs + kLongestMs / 4;

    explicit TokenBackoff(std::uint32_t jitterStart = 0);

    // Milliseconds a token request for these credentials waits from now; 0: it may go.
    std::uint32_t RemainingMs(std::uint32_t now, const std::string& credentials) const;
    // The server refused a token request for these credentials; the wait now begun.
    std::uint32_t Refused(std::uint32_t now, const std::string& credentials);
    void Succeeded();

    std::uint32_t Refusals() const { return refusals_; }

private:
    std::uint32_t NextRandom();

    std::uint32_t refusals_ = 0;
    std::uint32_t since_ = 0;
    std::uint32_t waitMs_ = 0;
    std::string credentials_;
    std::uint32_t random_;
};

}  // namespace tly
