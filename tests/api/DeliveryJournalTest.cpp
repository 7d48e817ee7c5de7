// The delivery journal across "restarts": each test closes a journal and opens
// it again in the same folder, which is what a new process finds. A journal
// closed without EndDelivery is a process that ended inside a call-back.

#include "api/DeliveryJournal.h"
#include "tests/support/TempModuleDirectory.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using tly::test::TempModuleDirectory;

std::vector<std::int32_t> HeldIds(const DeliveryJournal::StartReport& report) {
    std::vector<std::int32_t> ids;
    for (const auto& held : report.heldBack) ids.push_back(held.admId);
    return ids;
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
    for (int start = 0; start < 2; ++start) {
        DeliveryJournal journal;
        auto report = journal.Open(dir.Path());
        ASSERT_TRUE(report);
        EXPECT_FALSE(report->interrupted);
        EXPECT_EQ(HeldIds(*report), std::vector<std::int32_t>{10}) << "reported at every start";
        EXPECT_TRUE(journal.IsHeldBack(1, 10));
        EXPECT_FALSE(journal.IsHeldBack(2, 10)) << "held back for its own panel only";
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
    std::vector<unsigned char> valid(journal::kFileSize);
    journal::WriteEmptyImage(valid.data());
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
    };
    for (const Case& c : cases) {
        TempModuleDirectory dir;
        std::string bytes(valid.begin(), valid.end());
        if (c.offset == SIZE_MAX) {
            bytes.resize(bytes.size() / 2);
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

        DeliveryJournal journal;
        auto report = journal.Open(dir.Path());
        ASSERT_TRUE(report) << c.name;
        EXPECT_TRUE(journal.IsOpen()) << c.name;
        EXPECT_EQ(dir.Read(kDamagedJournalFileName), bytes) << "set aside as it was: " << c.name;
    }
}
