#include "api/HostCallBudget.h"
#include "tests/support/ManualClock.h"

#include <gtest/gtest.h>

#include <thread>

// A budget belongs to its thread; an inner one never extends the outer; a
// thread without one is never cut short.
TEST(HostCallBudgetTest, NestsOnItsThreadAndNeverExtends) {
    tly::test::ManualClock clock;
    EXPECT_FALSE(HostCallBudget::Exhausted());
    EXPECT_EQ(HostCallBudget::RemainingMs(), UINT32_MAX);
    {
        const HostCallBudget outer(1000);
        clock.Advance(600);
        {
            const HostCallBudget inner(5000);
            EXPECT_EQ(HostCallBudget::RemainingMs(), 400u);
            clock.Advance(400);
            EXPECT_TRUE(HostCallBudget::Exhausted());
        }
        EXPECT_TRUE(HostCallBudget::Exhausted()) << "the inner budget's end does not end the outer";
        bool otherThreadCut = true;
        std::thread([&] { otherThreadCut = HostCallBudget::Exhausted(); }).join();
        EXPECT_FALSE(otherThreadCut);
    }
    EXPECT_FALSE(HostCallBudget::Exhausted());
}
