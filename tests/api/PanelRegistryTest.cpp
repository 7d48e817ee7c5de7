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
