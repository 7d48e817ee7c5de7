#pragma once
// At most a fixed number of holders at once; the others wait their turn in
// Slot's constructor. Bounds work whose transient memory would otherwise grow
// with the number of threads doing it at the same moment.
//
// A Win32 semaphore rather than a condition variable: a thread killed at
// process exit while it waits leaves a condition variable locked, and the
// process then hangs destroying it.

#include "platform/UniqueResource.h"

#include <windows.h>

namespace tly {

class ConcurrencyLimit {
public:
    // Should the semaphore not be made, nobody waits: the bound is lost, not
    // the work.
    explicit ConcurrencyLimit(LONG limit) : places_(::CreateSemaphoreW(nullptr, limit, limit, nullptr)) {}
    ConcurrencyLimit(const ConcurrencyLimit&) = delete;
    ConcurrencyLimit& operator=(const ConcurrencyLimit&) = delete;

    // One place, given back when the slot goes out of scope.
    class Slot {
    public:
        explicit Slot(ConcurrencyLimit& limit)
            : places_(limit.places_.get()),
              held_(places_ != nullptr && ::WaitForSingleObject(places_, INFINITE) == WAIT_OBJECT_0) {}
        ~Slot() {
            if (held_) ::ReleaseSemaphore(places_, 1, nullptr);
        }
        Slot(const Slot&) = delete;
        Slot& operator=(const Slot&) = delete;

    private:
        HANDLE places_;
        bool held_;
    };

private:
    UniqueHandle places_;
};

}  // namespace tly
