#pragma once
// At most a fixed number of holders at once; the others wait their turn in
// Enter. Bounds work whose transient memory would otherwise grow with the
// number of threads doing it at the same moment.

#include <condition_variable>
#include <mutex>

namespace tly {

class ConcurrencyLimit {
public:
    explicit ConcurrencyLimit(int limit) : free_(limit) {}
    ConcurrencyLimit(const ConcurrencyLimit&) = delete;
    ConcurrencyLimit& operator=(const ConcurrencyLimit&) = delete;

    // One place, given back when the slot goes out of scope.
    class Slot {
    public:
        explicit Slot(ConcurrencyLimit& limit) : limit_(limit) { limit_.Take(); }
        ~Slot() { limit_.Give(); }
        Slot(const Slot&) = delete;
        Slot& operator=(const Slot&) = delete;

    private:
        ConcurrencyLimit& limit_;
    };

private:
    void Take() {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return free_ > 0; });
        --free_;
    }

    void Give() noexcept {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++free_;
        }
        changed_.notify_one();
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    int free_;
};

}  // namespace tly
