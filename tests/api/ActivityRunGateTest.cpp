// The run gate's requests and the pacing of idle passes, on a tick the test moves.
#include "api/ActivityRunGate.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

using Urgency = ActivityRunGate::Urgency;

struct GateOnTestTick {
    std::uint32_t tick = 1000;
    ActivityRunGate gate{[this] { return tick; }};

    // One pass of the given length that took something or not, from the
    // request to the gate let go.
    void Pass(std::uint32_t lengthMs, bool took) {
        ASSERT_TRUE(gate.TryEnter());
        ASSERT_TRUE(gate.TakeRequestForPass());
        const std::uint32_t started = tick;
        tick += lengthMs;
        gate.PassEnded(started, took);
        gate.Leave();
    }
};

}  // namespace

TEST(ActivityRunGateTest, APacedRequestWaitsAfterAnIdlePassOnly) {
    const struct {
        const char* what;
        std::uint32_t passMs;
        bool took;
        Urgency next;
        std::uint32_t expectedWait;  // right after the pass ended
    } cases[] = {
        {"a quick idle pass: the fixed spacing", 10, false, Urgency::Paced, 240},
        {"a slow idle pass: as long again", 400, false, Urgency::Paced, 400},
        {"a slower idle pass: at most the longest spacing", 900, false, Urgency::Paced, 100},
        {"a pass longer than the longest spacing: no wait", 1500, false, Urgency::Paced, 0},
        {"a pass that took something: no wait", 10, true, Urgency::Paced, 0},
        {"a notification after an idle pass: no wait", 10, false, Urgency::Now, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        GateOnTestTick t;
        t.gate.Ask(Urgency::Now);
        t.Pass(c.passMs, c.took);
        t.gate.Ask(c.next);
        EXPECT_EQ(t.gate.WaitBeforeNextPass(), c.expectedWait);
        ASSERT_TRUE(t.gate.TryEnter());
        EXPECT_EQ(t.gate.TakeRequestForPass(), c.expectedWait == 0);
        // A request the pacing holds back stays open, and is served once the wait is over.
        EXPECT_EQ(t.gate.Asked(), c.expectedWait != 0);
        t.tick += c.expectedWait;
        EXPECT_EQ(t.gate.WaitBeforeNextPass(), 0u);
        EXPECT_EQ(t.gate.TakeRequestForPass(), c.expectedWait != 0);
        EXPECT_FALSE(t.gate.Asked());
        t.gate.Leave();
    }
}

TEST(ActivityRunGateTest, PacingMeasuresAcrossTheTickCountsWrap) {
    GateOnTestTick t;
    t.tick = 0xFFFFFFF0u;
    t.gate.Ask(Urgency::Now);
    t.Pass(20, false);  // ends at 4 past the wrap
    t.gate.Ask(Urgency::Paced);
    EXPECT_EQ(t.gate.WaitBeforeNextPass(), 230u);
}

TEST(ActivityRunGateTest, ARequestMadeDuringAPassGetsAPassOfItsOwn) {
    GateOnTestTick t;
    t.gate.Ask(Urgency::Paced);
    ASSERT_TRUE(t.gate.TryEnter());
    EXPECT_FALSE(t.gate.TryEnter()) << "one holder at a time";
    ASSERT_TRUE(t.gate.TakeRequestForPass());
    t.gate.Ask(Urgency::Now);  // a notification while the pass is under way
    t.gate.PassEnded(t.tick, false);
    EXPECT_TRUE(t.gate.TakeRequestForPass()) << "taken before the pass began, it must not count as served";
    EXPECT_FALSE(t.gate.TakeRequestForPass()) << "and served once";
    t.gate.Leave();
    EXPECT_TRUE(t.gate.TryEnter());
}
