#pragma once
// The text TLYAPI_GetLastErrorMessage copies out: the last failure any
// export or its work recorded, process-wide. It owns the text and a leaf lock
// that guards only a copy or an assignment.

#include <mutex>
#include <string>

class LastErrorText {
public:
    void Set(const std::string& text) {
        std::lock_guard<std::mutex> guard(lock_);
        text_ = text;
    }
    void Clear() {
        std::lock_guard<std::mutex> guard(lock_);
        text_.clear();
    }
    std::string Get() const {
        std::lock_guard<std::mutex> guard(lock_);
        return text_;
    }

private:
    mutable std::mutex lock_;  // leaf
    std::string text_;
};
