#pragma once
// Thumbprints of the certificates seen last, by their DER bytes. Every request
// is checked against the pin, and hashing a certificate with a fresh CryptoAPI
// context costs far more than comparing its bytes with the last one's: the same
// certificate is hashed once, and a changed one is hashed (and so checked) at
// once, since its bytes differ. Safe to use from several threads.

#include "platform/Mutex.h"

#include <cstddef>
#include <string>
#include <vector>

namespace tly {

class ThumbprintCache {
public:
    // The certificate's thumbprint, as ComputeCertThumbprint gives it; empty
    // when hashing failed (logged there, and not remembered).
    std::string Thumbprint(const unsigned char* bytes, std::size_t length) TLY_EXCLUDES(mutex_);

private:
    struct Entry {
        std::vector<unsigned char> certificate;
        std::string thumbprint;
    };
    static constexpr std::size_t kEntries = 2;  // the REST and the event channel's, or an old and a new one

    tly::Mutex mutex_;  // leaf
    Entry entries_[kEntries] TLY_GUARDED_BY(mutex_);
    std::size_t next_ TLY_GUARDED_BY(mutex_) = 0;  // the entry replaced next
};

}  // namespace tly
