#include "platform/ConcurrencyLimit.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <optional>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

std::future<void> EnterAndLeave(tly::ConcurrencyLimit& limit) {
    return std::async(std::launch::async, [&limit] { const tly::ConcurrencyLimit::Slot slot(limit); });
}

}  // namespace

// The second holder of a limit of two goes in at once; the third waits until
// one of them leaves.
TEST(ConcurrencyLimitTest, ThirdHolderWaitsForAPlace) {
    tly::ConcurrencyLimit limit(2);
    std::optional<tly::ConcurrencyLimit::Slot> first(std::in_place, limit);
    EXPECT_EQ(EnterAndLeave(limit).wait_for(10s), std::future_status::ready);

    const tly::ConcurrencyLimit::Slot second(limit);
    std::future<void> third = EnterAndLeave(limit);
    EXPECT_EQ(third.wait_for(200ms), std::future_status::timeout);
    first.reset();
    EXPECT_EQ(third.wait_for(10s), std::future_status::ready);
}

// Many threads through a limit of two: never more than two inside at once,
// and every one gets its turn.
TEST(ConcurrencyLimitTest, NeverMoreHoldersThanTheLimit) {
    tly::ConcurrencyLimit limit(2);
    std::atomic<int> inside{0};
    std::atomic<int> most{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            for (int round = 0; round < 200; ++round) {
                const tly::ConcurrencyLimit::Slot slot(limit);
                const int now = ++inside;
                int seen = most.load();
                while (now > seen && !most.compare_exchange_weak(seen, now)) {
                }
                std::this_thread::yield();
                --inside;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_LE(most.load(), 2);
}
