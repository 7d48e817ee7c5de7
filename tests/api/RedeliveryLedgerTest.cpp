#include "api/RedeliveryLedger.h"

#include <gtest/gtest.h>

// An entry goes only when its mark succeeds; a marked id is still known for a
// while, so a lagging list never brings it to the host again.
TEST(RedeliveryLedgerTest, EntriesGoOnlyWhenMarkedAndMarkedIdsAreRemembered) {
    RedeliveryLedger ledger;
    ledger.Taken(1, {10, 11, 12});
    ledger.Taken(2, 10);
    EXPECT_EQ(ledger.Size(1), 3u);
    EXPECT_EQ(ledger.TotalSize(), 4u);

    ledger.Marked(1, {11});
    EXPECT_EQ(ledger.Size(1), 2u);
    EXPECT_TRUE(ledger.Contains(1, 11)) << "marked recently: marked again, not delivered again";
    EXPECT_TRUE(ledger.Contains(1, 10));
    EXPECT_TRUE(ledger.Contains(2, 10));
    EXPECT_FALSE(ledger.Contains(2, 11)) << "per panel";
    EXPECT_FALSE(ledger.Contains(3, 10));
}

// Taken entries are never dropped, however many: forgetting one would hand
// it to the host twice (the pump stops delivering at the journal's bound).
// Marked ones are bounded, the oldest forgotten first.
TEST(RedeliveryLedgerTest, TakenEntriesAreNeverDroppedAndMarkedOnesAreBounded) {
    RedeliveryLedger ledger;
    constexpr std::int32_t kTaken = 250000;
    for (std::int32_t id = 0; id < kTaken; ++id) ledger.Taken(1, id);
    EXPECT_EQ(ledger.Size(1), static_cast<std::size_t>(kTaken));
    EXPECT_EQ(ledger.TotalSize(), static_cast<std::size_t>(kTaken));
    EXPECT_TRUE(ledger.Contains(1, 0)) << "the oldest is still there";
    EXPECT_EQ(ledger.TakenIds(1, 10).size(), 10u);
    EXPECT_TRUE(ledger.TakenIds(2, 10).empty());

    // Taken, marked and taken again: the second taking is the one that counts.
    RedeliveryLedger again;
    again.Taken(1, 7);
    again.Marked(1, {7});
    again.Taken(1, {7, 7});
    EXPECT_EQ(again.Size(1), 1u);
    EXPECT_EQ(again.TotalSize(), 1u);
    again.Marked(1, {7, 7, 8});
    EXPECT_EQ(again.TotalSize(), 0u) << "an id marked twice, or never taken, counts once or not at all";

    std::vector<std::int32_t> marked;
    for (std::int32_t id = 0; id < static_cast<std::int32_t>(RedeliveryLedger::kMostMarkedPerPanel) + 3; ++id) {
        marked.push_back(1000 + id);
    }
    again.Marked(2, marked);
    EXPECT_FALSE(again.Contains(2, 1000)) << "the oldest marks are forgotten first";
    EXPECT_TRUE(again.Contains(2, marked.back()));
}
