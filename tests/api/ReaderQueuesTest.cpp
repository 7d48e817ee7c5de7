#include "api/TLYApi.h"
#include "api/TLYApiImpl.h"
#include "tests/support/ReaderLists.h"
#include "tests/support/TempModuleDirectory.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

using Drained = tly::test::DrainedReaders;

Drained Drain(bool online, std::int32_t panel) { return tly::test::DrainReaders(online, panel); }

class ReaderQueuesTest : public ::testing::Test {
protected:
    tly::test::TempModuleDirectory dir;
    TLYApiImpl& api = TLYApiImpl::Instance();
};

}  // namespace

TEST_F(ReaderQueuesTest, QueuesEachReaderOnceInFirstQueuedOrder) {
    api.MarkReaderOnline("4:2");
    api.MarkReaderOnline("4:9");
    api.MarkReaderOnline("4:2");
    Drained online = Drain(true, 4);
    EXPECT_EQ(online.readers, (std::vector<std::int32_t>{2, 9}));
    EXPECT_EQ(online.online, (std::vector<int>{1, 1}));
    EXPECT_FALSE(Drain(true, 4).touched) << "a second collection leaves the record untouched";
}

TEST_F(ReaderQueuesTest, OnlineAndOfflineQueuesAreIndependent) {
    api.MarkReaderOffline("1:3");
    api.MarkReaderOnline("1:3");
    Drained offline = Drain(false, 1);
    Drained online = Drain(true, 1);
    EXPECT_EQ(offline.readers, (std::vector<std::int32_t>{3}));
    EXPECT_EQ(offline.online, (std::vector<int>{0}));
    EXPECT_EQ(online.readers, (std::vector<std::int32_t>{3}));
}

TEST_F(ReaderQueuesTest, MalformedExternalIdsQueueNothing) {
    for (const char* id : {"", "7", ":3", "3:", ":", "x:1", "1:x", "99999999999:1"}) api.MarkReaderOnline(id);
    EXPECT_TRUE(api.PanelIdsSnapshot().empty());
}

TEST_F(ReaderQueuesTest, TransitionForAnUnopenedPanelIsQueuedButNeverOpensIt) {
    api.RegisterPanel(2);
    api.MarkReaderOffline("9:1");
    EXPECT_EQ(api.PanelIdsSnapshot(), (std::vector<std::int32_t>{2}));
    EXPECT_EQ(Drain(false, 9).readers, (std::vector<std::int32_t>{1}));
}

TEST_F(ReaderQueuesTest, UnregisteringDropsThePanelsQueues) {
    api.RegisterPanel(5);
    api.MarkReaderOnline("5:1");
    api.UnregisterPanel(5);
    EXPECT_FALSE(Drain(true, 5).touched);
}

TEST_F(ReaderQueuesTest, NullListIsAccepted) {
    api.MarkReaderOnline("5:1");
    TLYAPI_GetReadersGoneOnline(5, nullptr);
    TLYAPI_GetReadersGoneOffline(5, nullptr);
    EXPECT_EQ(Drain(true, 5).readers, (std::vector<std::int32_t>{1}));
}

TEST_F(ReaderQueuesTest, ConcurrentQueueingAndDrainingLosesNothing) {
    constexpr int kReaders = 2000;
    std::thread producer([this] {
        for (int i = 1; i <= kReaders; ++i) api.MarkReaderOnline("3:" + std::to_string(i));
    });
    std::vector<std::int32_t> collected;
    while (collected.size() < static_cast<size_t>(kReaders)) {
        Drained batch = Drain(true, 3);
        collected.insert(collected.end(), batch.readers.begin(), batch.readers.end());
        if (!batch.touched) std::this_thread::yield();
    }
    producer.join();
    for (int i = 0; i < kReaders; ++i) ASSERT_EQ(collected[static_cast<size_t>(i)], i + 1);
}

TEST(ParseReaderExternalIdTest, FollowsIntegerConversionRules) {
    struct Case {
        const char* text;
        bool ok;
        std::int32_t panel;
        std::int32_t reader;
    };
    for (const Case& c : {Case{"3:7", true, 3, 7}, Case{" 3:7x", true, 3, 7}, Case{"-2:+4", true, -2, 4},
                          Case{"7:1:2", true, 7, 1}, Case{"3:", false, 3, 0}, Case{":7", false, 0, 0},
                          Case{"3", false, 0, 0}, Case{"", false, 0, 0}, Case{":", false, 0, 0},
                          Case{"99999999999:1", false, 0, 0}, Case{"1:99999999999", false, 1, 0}}) {
        std::int32_t panel = 0;
        std::int32_t reader = 0;
        EXPECT_EQ(ParseReaderExternalId(c.text, panel, reader), c.ok) << c.text;
        EXPECT_EQ(panel, c.panel) << c.text;
        EXPECT_EQ(reader, c.reader) << c.text;
    }
}
