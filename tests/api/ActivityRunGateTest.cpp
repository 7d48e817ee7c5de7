// The run gate's requests: one holder at a time, each request served by a
// pass that begins after it, and a request for every panel never served as
// one for the due panels only.
#include "api/ActivityRunGate.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Urgency = ActivityRunGate::Urgency;
using Pass = ActivityRunGate::Pass;

ActivityRunGate MakeGate() {
    return ActivityRunGate{[] { return 0u; }};
}

}  // namespace

TEST(ActivityRunGateTest, APassServesWhatWasAskedAndAllPanelsWins) {
    const struct {
        const char* what;
        std::vector<Urgency> asks;
        Pass expected;
    } cases[] = {
        {"nothing asked", {}, Pass::None},
        {"a status request", {Urgency::DuePanels}, Pass::DuePanels},
        {"a notification", {Urgency::AllPanels}, Pass::AllPanels},
        {"a status request, then a notification", {Urgency::DuePanels, Urgency::AllPanels}, Pass::AllPanels},
        {"a notification, then a status request", {Urgency::AllPanels, Urgency::DuePanels}, Pass::AllPanels},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ActivityRunGate gate = MakeGate();
        for (const Urgency urgency : c.asks) gate.Ask(urgency);
        ASSERT_TRUE(gate.TryEnter());
        EXPECT_EQ(gate.TakeRequestForPass(), c.expected);
        EXPECT_FALSE(gate.Asked());
        EXPECT_EQ(gate.TakeRequestForPass(), Pass::None) << "served once";
        gate.Leave();
    }
}

TEST(ActivityRunGateTest, ARequestMadeDuringAPassGetsAPassOfItsOwn) {
    ActivityRunGate gate = MakeGate();
    gate.Ask(Urgency::DuePanels);
    ASSERT_TRUE(gate.TryEnter());
    EXPECT_FALSE(gate.TryEnter()) << "one holder at a time";
    ASSERT_EQ(gate.TakeRequestForPass(), Pass::DuePanels);
    gate.Ask(Urgency::AllPanels);  // a notification while the pass is under way
    EXPECT_EQ(gate.TakeRequestForPass(), Pass::AllPanels) << "taken before the pass began, it must not count as served";
    EXPECT_EQ(gate.TakeRequestForPass(), Pass::None) << "and served once";
    gate.Leave();
    EXPECT_TRUE(gate.TryEnter());
}
