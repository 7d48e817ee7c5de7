// The delivery journal across "restarts": each test closes a journal and opens
// it again in the same folder, which is what a new process finds. A journal
// closed without EndDelivery is a process that ended inside a call-back.

#include "api/DeliveryJournal.h"

#include "EventMessages.h"
#include "tests/support/ManualClock.h"
#include "tests/support/RecordedEventLog.h"
#include "tests/support/TempModuleDirectory.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>

namespace {

using tly::test::TempModuleDirectory;

std::vector<std::int32_t> HeldIds(const DeliveryJournal::StartReport& report) {
    std::vector<std::int32_t> ids;
    for (const auto& held : report.heldBack) ids.push_back(held.admId);
    return ids;
}

// Ids first to first + count - 1 of a panel, each handed over and taken.
void Take(DeliveryJournal& journal, std::int32_t panel, std::int32_t first, std::int32_t count) {
    for (std::int32_t id = first; id < first + count; ++id) {
        std::string whyNot;
        ASSERT_TRUE(journal.MakeRoom(whyNot)) << whyNot;
        journal.BeginDelivery(panel, id, id, "{}");
        journal.EndDelivery(true);
    }
}

std::set<std::pair<std::int32_t, std::int32_t>> TakenSet(const DeliveryJournal::StartReport& report) {
    return {report.taken.begin(), report.taken.end()};
}

template <typename T>
std::string Bytes(const T& value) {
    return std::string(reinterpret_cast<const char*>(&value), sizeof value);
}

}  // namespace

TEST(DeliveryJournalTest, AnActivityThatEndsTheProcessTwiceIsHeldBackUntilReleased) {
    TempModuleDirectory dir;
    {
        DeliveryJournal journal;
        ASSERT_TRUE(journal.Open(dir.Path()));
        journal.BeginDelivery(1, 10, 4711, R"({"adm_id":10})");
    }  // ended inside the call-back
    {
        DeliveryJournal journal;
        auto report = journal.Open(dir.Path());
        ASSERT_TRUE(report);
        ASSERT_TRUE(report->interrupted);
        EXPECT_EQ(report->interrupted->admId, 10);
        EXPECT_EQ(report->interrupted->badgeNo, 4711);
        EXPECT_EQ(report->interrupted->text, R"({"adm_id":10})");
        EXPECT_FALSE(journal.IsHeldBack(1, 10)) << "offered once more";
        journal.BeginDelivery(1, 10, 4711, R"({"adm_id":10})");
    }  // and again
    {
        // Raised in the Event Log at every start while it is held back, ten
        // minutes apart or more.
        tly::test::ManualClock clock;
        tly::test::RecordedEventLog events;
        for (int start = 0; start < 2; ++start) {
            DeliveryJournal journal;
            auto report = journal.Open(dir.Path());
            ASSERT_TRUE(report);
            EXPECT_FALSE(report->interrupted);
            EXPECT_EQ(HeldIds(*report), std::vector<std::int32_t>{10}) << "reported at every start";
            EXPECT_TRUE(journal.IsHeldBack(1, 10));
            EXPECT_FALSE(journal.IsHeldBack(2, 10)) << "held back for its own panel only";
            clock.Advance(AttentionEvents::kQuietMs);
        }
        const auto raised = events.Events();
        ASSERT_EQ(raised.size(), 2u);
        for (const auto& event : raised) {
            EXPECT_EQ(event.id, TLY_EVENT_ACTIVITY_HELD_BACK);
            EXPECT_EQ(event.inserts, (std::vector<std::string>{"1", "10", "tallyport-check --release-held 1:10", "1"}));
        }
    }

    std::string reason;
    {
        DeliveryJournal owner;
        ASSERT_TRUE(owner.Open(dir.Path()));
        EXPECT_EQ(ReadHeldActivities(dir.Path()).size(), 1u) << "the check reads it beside its owner";
        EXPECT_FALSE(ReleaseHeldActivity(dir.Path(), 1, 10, reason)) << "not while the host owns the journal";
        EXPECT_NE(reason.find("stop it"), std::string::npos) << reason;
    }
    EXPECT_FALSE(ReleaseHeldActivity(dir.Path(), 1, 11, reason));
    ASSERT_TRUE(ReleaseHeldActivity(dir.Path(), 1, 10, reason)) << reason;
    DeliveryJournal journal;
    auto report = journal.Open(dir.Path());
    ASSERT_TRUE(report);
    EXPECT_TRUE(report->heldBack.empty());
    EXPECT_FALSE(journal.IsHeldBack(1, 10));
}

// What the host took stays journalled until its mark succeeds; an interrupted
// activity delivered once more is no longer a suspect.
TEST(DeliveryJournalTest, TakenIdsOutliveTheProcessUntilMarked) {
    TempModuleDirectory dir;
    {
        DeliveryJournal journal;
        ASSERT_TRUE(journal.Open(dir.Path()));
        for (std::int32_t id : {1, 2, 3}) {
            journal.BeginDelivery(7, id, id, "{}");
            journal.EndDelivery(true);
        }
        journal.BeginDelivery(7, 4, 4, "{}");
        journal.EndDelivery(false);  // refused: not taken
        journal.Marked(7, {2});
        journal.BeginDelivery(7, 5, 5, "{}");
    }
    {
        DeliveryJournal journal;
        auto report = journal.Open(dir.Path());
        ASSERT_TRUE(report);
        EXPECT_EQ(report->taken, (std::vector<std::pair<std::int32_t, std::int32_t>>{{7, 1}, {7, 3}}));
        ASSERT_TRUE(report->interrupted);
        journal.BeginDelivery(7, 5, 5, "{}");
        journal.EndDelivery(true);
    }
    DeliveryJournal journal;
    auto report = journal.Open(dir.Path());
    ASSERT_TRUE(report);
    EXPECT_FALSE(report->interrupted);
    EXPECT_TRUE(report->heldBack.empty()) << "delivered after its interruption: no longer a suspect";
    EXPECT_EQ(report->taken.size(), 3u);
}

// A panel's close waits for a delivery under way only so long, so the
// journal can be closed, and opened again, while a call-back still runs. The
// process did not end in it: no start may count it, and its end is recorded
// in the journal open by then.
TEST(DeliveryJournalTest, ACallBackThatOutlivesAClosedJournalIsNotCountedAsTheProcessEndingInIt) {
    TempModuleDirectory dir;
    {
        DeliveryJournal journal;
        ASSERT_TRUE(journal.Open(dir.Path()));
        journal.BeginDelivery(1, 10, 10, "{}");
        journal.Close();
        auto reopened = journal.Open(dir.Path());
        ASSERT_TRUE(reopened);
        EXPECT_FALSE(reopened->interrupted);
        journal.EndDelivery(true);
        journal.BeginDelivery(1, 11, 11, "{}");
        journal.Close();
        journal.EndDelivery(true);  // with no journal open: nothing to record
    }
    {
        DeliveryJournal journal;
        auto report = journal.Open(dir.Path());
        ASSERT_TRUE(report);
        EXPECT_FALSE(report->interrupted);
        EXPECT_TRUE(report->heldBack.empty());
        EXPECT_EQ(report->taken, (std::vector<std::pair<std::int32_t, std::int32_t>>{{1, 10}}));
        journal.BeginDelivery(1, 12, 12, "{}");
        journal.Close();
        ASSERT_TRUE(journal.Open(dir.Path()));
    }  // ended inside the call-back, which was under way again in the reopened journal
    DeliveryJournal journal;
    auto report = journal.Open(dir.Path());
    ASSERT_TRUE(report);
    ASSERT_TRUE(report->interrupted);
    EXPECT_EQ(report->interrupted->admId, 12);
}

// A second owner waits for the first (a host starting while the one before
// still ends) and, once the first lets go, takes the journal over with what
// the first had taken.
TEST(DeliveryJournalTest, OneProcessOwnsTheJournalAndTheNextTakesItOverWhenFree) {
    TempModuleDirectory dir;
    DeliveryJournal first;
    DeliveryJournal second;
    ASSERT_TRUE(first.Open(dir.Path()));
    EXPECT_FALSE(second.Open(dir.Path()));
    EXPECT_TRUE(second.WaitingForOwner());
    second.BeginDelivery(1, 1, 1, "{}");  // every call is harmless meanwhile
    second.EndDelivery(true);
    EXPECT_FALSE(second.IsOpen());

    first.BeginDelivery(1, 1001, 7, "{}");
    first.EndDelivery(true);
    EXPECT_FALSE(second.TakeOverIfFree()) << "still held";
    EXPECT_TRUE(second.WaitingForOwner());
    first.Close();
    const auto report = second.TakeOverIfFree();
    ASSERT_TRUE(report);
    EXPECT_EQ(report->taken, (std::vector<std::pair<std::int32_t, std::int32_t>>{{1, 1001}}));
    EXPECT_FALSE(second.WaitingForOwner());
    EXPECT_TRUE(second.IsOpen());

    // A journal that is closed waits for no one.
    EXPECT_FALSE(first.Open(dir.Path()));
    first.Close();
    EXPECT_FALSE(first.WaitingForOwner());
    EXPECT_FALSE(first.TakeOverIfFree());
}

// A file that is not a journal of this layout is set aside whole and a new
// one started: never trusted in part, never a reason to stop delivering.
TEST(DeliveryJournalTest, DamagedJournalsAreSetAside) {
    // The base part and one taken extent of 32 slots.
    std::vector<unsigned char> valid(journal::kFileSize + journal::ExtentBytes(journal::kTakenExtent, 32));
    journal::WriteEmptyImage(valid.data());
    const journal::ExtentHeader extent{journal::kTakenExtent, 32, {0, 0}};
    std::memcpy(&valid[journal::kFileSize], &extent, sizeof extent);
    const auto at = [](std::size_t offset) { return offset; };
    struct Case {
        const char* name;
        std::size_t offset;  // where one 32-bit word is overwritten; SIZE_MAX: the file is cut
        std::uint32_t word;
    };
    const Case cases[] = {
        {"cut short", SIZE_MAX, 0},
        {"wrong signature", at(0), 0x21212121},
        {"other version", at(8), 2},
        {"state under way out of range", journal::kUnderWayOffset, 7},
        {"text longer than its room", journal::kUnderWayOffset + 24, journal::kTextCapacity + 1},
        {"suspect state out of range", journal::kSuspectsOffset, 9},
        {"suspect without a crash", journal::kSuspectsOffset, journal::kHeldBack},
        {"taken state out of range", journal::kTakenOffset + 16 * 5, 3},
        {"extent of no known kind", journal::kFileSize, 0x12345678},
        {"extent past the bound", journal::kFileSize + 4, journal::kMostTakenSlots},
        {"extent running past the end", journal::kFileSize + 4, 40},
    };
    for (const Case& c : cases) {
        TempModuleDirectory dir;
        std::string bytes(valid.begin(), valid.end());
        if (c.offset == SIZE_MAX) {
            bytes.resize(journal::kFileSize / 2);
        } else {
            std::memcpy(&bytes[c.offset], &c.word, sizeof c.word);
        }
        dir.Write(kDeliveryJournalFileName, bytes);
        journal::Contents contents;
        std::string reason;
        EXPECT_FALSE(journal::ReadImage(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), contents,
                                        reason))
            << c.name;
        EXPECT_FALSE(reason.empty()) << c.name;

        tly::test::RecordedEventLog events;
        DeliveryJournal journal;
        auto report = journal.Open(dir.Path());
        ASSERT_TRUE(report) << c.name;
        EXPECT_TRUE(journal.IsOpen()) << c.name;
        EXPECT_EQ(dir.Read(kDamagedJournalFileName), bytes) << "set aside as it was: " << c.name;
        const auto raised = events.Events();
        ASSERT_EQ(raised.size(), 1u) << c.name;
        EXPECT_EQ(raised[0].id, TLY_EVENT_JOURNAL_DAMAGED);
        EXPECT_EQ(raised[0].inserts.at(0).rfind("it is damaged (", 0), 0u) << raised[0].inserts.at(0);
        EXPECT_NE(raised[0].inserts.at(0).find("); it was set aside as "), std::string::npos)
            << raised[0].inserts.at(0);
    }
}

// Marks failing for a long stretch: every id taken stays journalled, past
// the base part's 16,384, across a restart; and as marks succeed the file
// gives its extents back.
TEST(DeliveryJournalTest, TakenIdsBeyondTheBasePartOutliveTheProcessAndTheFileShrinksAsTheyAreMarked) {
    TempModuleDirectory dir;
    {
        DeliveryJournal journal;
        ASSERT_TRUE(journal.Open(dir.Path()));
        Take(journal, 1, 1, 10000);
        Take(journal, 2, 1, 10000);
    }  // the process ends, nothing marked
    EXPECT_GT(dir.Read(kDeliveryJournalFileName).size(), journal::kFileSize + 3616 * sizeof(journal::TakenRecord));
    DeliveryJournal journal;
    auto report = journal.Open(dir.Path());
    ASSERT_TRUE(report);
    const auto taken = TakenSet(*report);
    ASSERT_EQ(taken.size(), 20000u);
    EXPECT_TRUE(taken.count({1, 1}) && taken.count({1, 10000}) && taken.count({2, 1}) && taken.count({2, 10000}));

    std::vector<std::int32_t> ids;
    for (std::int32_t id = 1; id <= 10000; ++id) ids.push_back(id);
    journal.Marked(1, ids);
    journal.Marked(2, ids);
    journal.Close();
    EXPECT_EQ(dir.Read(kDeliveryJournalFileName).size(), journal::kFileSize) << "back to the base part";
    DeliveryJournal again;
    report = again.Open(dir.Path());
    ASSERT_TRUE(report);
    EXPECT_TRUE(report->taken.empty());
}

// The process killed at each point of a growth, and of a shrink, leaves a
// file that opens with every id it held, and grows again cleanly from there.
TEST(DeliveryJournalTest, AGrowthOrShrinkCutShortAnywhereLeavesAJournalThatOpensWithEveryId) {
    const std::uint32_t slots = journal::kBaseTakenSlots;
    const std::string zeros(journal::ExtentBytes(journal::kTakenExtent, slots) - sizeof(journal::ExtentHeader), '\0');
    const journal::TakenRecord stale{journal::kTaken, 9, 99999, 0};
    struct Case {
        const char* name;
        std::string appended;  // after the full base part
        std::size_t expectedIds;
    };
    const Case cases[] = {
        {"file made longer, nothing written yet", Bytes(journal::ExtentHeader{}) + zeros, slots},
        {"slot count written, kind not yet", Bytes(journal::ExtentHeader{0, slots, {0, 0}}) + zeros, slots},
        {"a shrink cut short: kind cleared, an entry left behind",
         Bytes(journal::ExtentHeader{0, slots, {0, 0}}) + Bytes(stale) + zeros.substr(sizeof stale), slots},
        {"the extent whole", Bytes(journal::ExtentHeader{journal::kTakenExtent, slots, {0, 0}}) + Bytes(stale) +
                                 zeros.substr(sizeof stale),
         slots + 1},
    };
    for (const Case& c : cases) {
        TempModuleDirectory dir;
        {
            DeliveryJournal journal;
            ASSERT_TRUE(journal.Open(dir.Path()));
            Take(journal, 1, 1, static_cast<std::int32_t>(slots));
        }
        ASSERT_EQ(dir.Read(kDeliveryJournalFileName).size(), journal::kFileSize) << "the base part, full";
        dir.Write(kDeliveryJournalFileName, dir.Read(kDeliveryJournalFileName) + c.appended);
        {
            DeliveryJournal journal;
            auto report = journal.Open(dir.Path());
            ASSERT_TRUE(report) << c.name;
            EXPECT_EQ(report->taken.size(), c.expectedIds) << c.name;
            EXPECT_EQ(TakenSet(*report).count({9, 99999}), c.expectedIds > slots ? 1u : 0u) << c.name;
            Take(journal, 3, 1, 2);  // grows from where the file stands
        }
        DeliveryJournal journal;
        auto report = journal.Open(dir.Path());
        ASSERT_TRUE(report) << c.name;
        EXPECT_EQ(report->taken.size(), c.expectedIds + 2) << c.name;
        EXPECT_EQ(TakenSet(*report).count({9, 99999}), c.expectedIds > slots ? 1u : 0u) << c.name;
        EXPECT_TRUE(dir.Read(kDamagedJournalFileName).empty()) << c.name;
    }
}

// Forty activities, each ending the process twice: all forty are held back,
// past the base part's 32 slots, and stay so at every start until released.
TEST(DeliveryJournalTest, EveryActivityThatEndsTheProcessTwiceStaysHeldBack) {
    TempModuleDirectory dir;
    constexpr std::int32_t kCrashers = 40;
    for (std::int32_t id = 1; id <= kCrashers; ++id) {
        for (int crash = 0; crash < 2; ++crash) {
            DeliveryJournal journal;
            ASSERT_TRUE(journal.Open(dir.Path()));
            EXPECT_FALSE(journal.IsHeldBack(1, id));
            journal.BeginDelivery(1, id, id, "{\"adm_id\":" + std::to_string(id) + "}");
        }  // ended inside the call-back
    }
    for (int start = 0; start < 2; ++start) {
        DeliveryJournal journal;
        auto report = journal.Open(dir.Path());
        ASSERT_TRUE(report);
        EXPECT_EQ(report->heldBack.size(), static_cast<std::size_t>(kCrashers));
        for (std::int32_t id = 1; id <= kCrashers; ++id) EXPECT_TRUE(journal.IsHeldBack(1, id)) << id;
        Take(journal, 1, 100, 50);  // other activities come and go meanwhile
        journal.Marked(1, {100, 101});
    }
    EXPECT_EQ(ReadHeldActivities(dir.Path()).size(), static_cast<std::size_t>(kCrashers));
    JournalUsage usage;
    std::string reason;
    ASSERT_TRUE(ReadJournalUsage(dir.Path(), usage, reason)) << reason;
    EXPECT_EQ(usage.heldBack, static_cast<std::size_t>(kCrashers));
    EXPECT_EQ(usage.taken, 48u);
    EXPECT_EQ(usage.takenByPanel[1], 48u);

    ASSERT_TRUE(ReleaseHeldActivity(dir.Path(), 1, 37, reason)) << reason;  // in an extent
    DeliveryJournal journal;
    auto report = journal.Open(dir.Path());
    ASSERT_TRUE(report);
    EXPECT_EQ(report->heldBack.size(), static_cast<std::size_t>(kCrashers - 1));
    EXPECT_FALSE(journal.IsHeldBack(1, 37));
}
