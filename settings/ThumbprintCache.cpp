#include "settings/ThumbprintCache.h"

#include "settings/Thumbprint.h"

#include <algorithm>

namespace tly {

std::string ThumbprintCache::Thumbprint(const unsigned char* bytes, std::size_t length) {
    const auto same = [&](const Entry& entry) {
        return !entry.thumbprint.empty() && std::equal(entry.certificate.begin(), entry.certificate.end(), bytes,
                                                         bytes + length);
    };
    {
        tly::MutexLock lock(mutex_);
        for (const Entry& entry : entries_) {
            if (same(entry)) return entry.thumbprint;
        }
    }
    // Hashed outside the lock: another thread's check need not wait for it.
    std::string thumbprint = ComputeCertThumbprint(bytes, length);
    if (thumbprint.empty()) return thumbprint;
    tly::MutexLock lock(mutex_);
    Entry& entry = entries_[next_];
    next_ = (next_ + 1) % kEntries;
    entry.certificate.assign(bytes, bytes + length);
    entry.thumbprint = thumbprint;
    return thumbprint;
}

}  // namespace tly
