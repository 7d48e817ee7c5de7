#include "api/PanelRegistry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

// A closed panel takes no new delivery; a close's wait ends when the last
// delivery under way ends (woken, not polled), or at its time-out.
TEST(PanelRegistryTest, DeliveriesStartOnlyWhileOpenAndTheWaitEndsWithTheLast) {
    PanelRegistry panels;
    panels.Open(3);
    panels.Open(3);
    panels.Open(-1);
    EXPECT_EQ(panels.Snapshot(), (std::vector<std::int32_t>{3, -1}));
    ASSERT_TRUE(panels.BeginDelivery(3));
    ASSERT_TRUE(panels.BeginDelivery(3));
    EXPECT_FALSE(panels.BeginDelivery(4));

    panels.Close(3);
    EXPECT_FALSE(panels.BeginDelivery(3));
    EXPECT_FALSE(panels.WaitForDeliveries(3, 50)) << "two still under way";
    EXPECT_TRUE(panels.WaitForDeliveries(-1, 0)) << "nothing under way for another panel";

    std::atomic<bool> waited{false};
    std::thread closer([&] { waited = panels.WaitForDeliveries(3, 60000); });
    panels.EndDelivery(3);
    panels.EndDelivery(3);
    closer.join();
    EXPECT_TRUE(waited.load());
    EXPECT_EQ(panels.Count(), 1);
}

// Two closes waiting at once, each for its own panel: the end of one panel's
// last delivery wakes its close only, and neither close can swallow the
// other's wake-up.
TEST(PanelRegistryTest, ConcurrentClosesEachEndWithTheirOwnPanelsLastDelivery) {
    PanelRegistry panels;
    panels.Open(1);
    panels.Open(2);
    ASSERT_TRUE(panels.BeginDelivery(1));
    ASSERT_TRUE(panels.BeginDelivery(2));
    panels.Close(1);
    panels.Close(2);

    std::atomic<int> first{-1};
    std::atomic<int> second{-1};
    std::thread closeFirst([&] { first = panels.WaitForDeliveries(1, 60000) ? 1 : 0; });
    std::thread closeSecond([&] { second = panels.WaitForDeliveries(2, 60000) ? 1 : 0; });
    panels.EndDelivery(1);
    closeFirst.join();
    EXPECT_EQ(first.load(), 1);
    EXPECT_EQ(second.load(), -1) << "panel 2 still has its delivery under way";
    panels.EndDelivery(2);
    closeSecond.join();
    EXPECT_EQ(second.load(), 1);
}
