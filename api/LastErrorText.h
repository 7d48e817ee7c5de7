#pragma once
// The text TLYAPI_GetLastErrorMessage copies out: the last failure any
// export or its work recorded, process-wide. It owns the text and a leaf lock
// that guards only a copy or an assignment.

#include "platform/Mutex.h"

#include <string>

class LastErrorText {
public:
    void Set(const std::string& text) TLY_EXCLUDES(lock_) {
        tly::MutexLock guard(lock_);
        text_ = text;
    }
    void Clear() TLY_EXCLUDES(lock_) {
        tly::MutexLock guard(lock_);
        text_.clear();
    }
    std::string Get() const TLY_EXCLUDES(lock_) {
        tly::MutexLock guard(lock_);
        return text_;
    }

private:
    mutable tly::Mutex lock_;  // leaf
    std::string text_ TLY_GUARDED_BY(lock_);
};
