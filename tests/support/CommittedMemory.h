#pragma once
// The private memory this process has committed, summed over its address
// space with VirtualQuery: Wine reports no private usage through
// GetProcessMemoryInfo, and its "/proc/self" is not this process.

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <thread>

namespace tly::test {

inline std::uint64_t CommittedPrivateBytes() {
    std::uint64_t total = 0;
    MEMORY_BASIC_INFORMATION region{};
    const char* at = nullptr;
    while (::VirtualQuery(at, &region, sizeof(region)) == sizeof(region)) {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) total += region.RegionSize;
        const char* next = static_cast<const char*>(region.BaseAddress) + region.RegionSize;
        if (next <= at) break;  // the top of the address space
        at = next;
    }
    return total;
}

// The most committed while it runs, sampled every few milliseconds.
class CommittedPeak {
public:
    CommittedPeak() : peak_(CommittedPrivateBytes()), sampler_([this] {
        while (!done_.load()) {
            const std::uint64_t now = CommittedPrivateBytes();
            if (now > peak_.load()) peak_.store(now);
            ::Sleep(2);
        }
    }) {}
    ~CommittedPeak() { Stop(); }
    CommittedPeak(const CommittedPeak&) = delete;
    CommittedPeak& operator=(const CommittedPeak&) = delete;

    std::uint64_t Stop() {
        done_.store(true);
        if (sampler_.joinable()) sampler_.join();
        return peak_.load();
    }

private:
    std::atomic<bool> done_{false};
    std::atomic<std::uint64_t> peak_;
    std::thread sampler_;
};

}  // namespace tly::test
