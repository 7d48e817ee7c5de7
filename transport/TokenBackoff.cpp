#include "transport/TokenBackoff.h"

namespace tly {

TokenBackoff::TokenBackoff(std::uint32_t jitterStart) : random_(jitterStart | 1u) {}

// xorshift32: enough to spread waits; nothing here is a secret.
std::uint32_t TokenBackoff::NextRandom() {
    random_ ^= random_ << 13;
    random_ ^= random_ >> 17;
    random_ ^= random_ << 5;
    return random_;
}

std::uint32_t TokenBackoff::RemainingMs(std::uint32_t now, const std::string& credentials) const {
    if (refusals_ == 0 || credentials != credentials_) return 0;
    const std::uint32_t elapsed = now - since_;  // unsigned: wrap-safe
    return elapsed >= waitMs_ ? 0 : waitMs_ - elapsed;
}

std::uint32_t TokenBackoff::Refused(std::uint32_t now, const std::string& credentials) {
    if (credentials != credentials_) refusals_ = 0;
    credentials_ = credentials;
    ++refusals_;
    std::uint32_t base = kFirstMs;
    for (std::uint32_t i = 1; i < refusals_ && base < kLongestMs; ++i) base *= 2;
    if (base > kLongestMs) base = kLongestMs;
    // Within a quarter either side of the base.
    const std::uint32_t spread = base / 2;
    waitMs_ = base - base / 4 + (spread ? NextRandom() % (spread + 1) : 0);
    if (waitMs_ > kMostMs) waitMs_ = kMostMs;
    since_ = now;
    return waitMs_;
}

void TokenBackoff::Succeeded() {
    refusals_ = 0;
    waitMs_ = 0;
    credentials_.clear();
}

}  // namespace tly
