#pragma once
// The lock of this system: a tly::Mutex the thread-safety analysis knows
// (platform/ThreadSafety.h), so what each lock guards and the order in which
// locks nest are checked when the code is compiled, not only written down.
//
// Held through MutexLock, which lets go at the end of its scope (or earlier,
// with Unlock). A lock taken with TryLock is handed to a MutexLock at once
// (kAdoptLock), so it too is let go by a scope.

#include "platform/ThreadSafety.h"

#include <mutex>

namespace tly {

class TLY_CAPABILITY("mutex") Mutex {
public:
    Mutex() = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void Lock() TLY_ACQUIRE() { mutex_.lock(); }
    void Unlock() TLY_RELEASE() { mutex_.unlock(); }
    bool TryLock() TLY_TRY_ACQUIRE(true) { return mutex_.try_lock(); }

private:
    std::mutex mutex_;
};

struct AdoptLock {};
inline constexpr AdoptLock kAdoptLock{};

class TLY_SCOPED_CAPABILITY MutexLock {
public:
    explicit MutexLock(Mutex& mutex) TLY_ACQUIRE(mutex) : mutex_(&mutex) { mutex.Lock(); }
    // Takes over a lock the caller already holds (from TryLock).
    MutexLock(Mutex& mutex, AdoptLock) TLY_REQUIRES(mutex) : mutex_(&mutex) {}
    ~MutexLock() TLY_RELEASE() {
        if (mutex_) mutex_->Unlock();
    }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

    // Lets go before the end of the scope; the scope then lets go of nothing.
    void Unlock() TLY_RELEASE() {
        mutex_->Unlock();
        mutex_ = nullptr;
    }

private:
    Mutex* mutex_;
};

}  // namespace tly
