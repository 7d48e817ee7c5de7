// The components that several threads use at once (the receive thread, host
// threads, the settings watcher), driven by real threads. Under
// ThreadSanitizer a data race fails the run; the checks here catch what a
// race would lose or double.

#include "api/ActivityRunGate.h"
#include "api/DeliveryJournal.h"
#include "api/ReaderTransitionQueues.h"
#include "api/RedeliveryLedger.h"
#include "api/SiteModel.h"
#include "tests/support/TempModuleDirectory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kThreads = 4;
const auto kPatience = std::chrono::seconds(60);

template <typename Body>
void OnThreads(int count, Body body) {
    std::vector<std::thread> threads;
    for (int t = 0; t < count; ++t) threads.emplace_back(body, t);
    for (std::thread& thread : threads) thread.join();
}

}  // namespace

// Host threads take and mark while the receive thread's run asks: every id
// taken and not marked is still known afterwards, every marked one too.
TEST(ConcurrencyTest, LedgerKeepsEveryTakenIdUntilItsMark) {
    RedeliveryLedger ledger;
    constexpr int kIds = 2000;
    std::atomic<bool> done{false};
    std::thread reader([&] {
        while (!done.load()) {
            static_cast<void>(ledger.Contains(1, 5));
            static_cast<void>(ledger.TotalSize());
        }
    });
    OnThreads(kThreads, [&](int t) {
        for (int i = 0; i < kIds; ++i) {
            const std::int32_t id = t * kIds + i;
            ledger.Taken(1 + t % 2, id);
            if (i % 2 == 0) ledger.Marked(1 + t % 2, {id});
        }
    });
    done = true;
    reader.join();
    EXPECT_EQ(ledger.TotalSize(), static_cast<std::size_t>(kThreads * kIds / 2));
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kIds; i += 97) EXPECT_TRUE(ledger.Contains(1 + t % 2, t * kIds + i)) << t << " " << i;
    }
}

TEST(ConcurrencyTest, ReportedOnceSaysFirstExactlyOncePerKey) {
    ReportedOnce reported;
    std::atomic<int> firsts{0};
    OnThreads(kThreads, [&](int) {
        for (std::uint64_t key = 0; key < 500; ++key) firsts += reported.First(7, key) ? 1 : 0;
    });
    EXPECT_EQ(firsts.load(), 500);
}

// The receive thread queues transitions (and logs each) while panels poll
// and the site is reloaded: each reader queued is drained once, none lost.
TEST(ConcurrencyTest, TransitionsQueuedOnSeveralThreadsAreDrainedOnceEach) {
    ReaderTransitionQueues queues;
    constexpr int kReaders = 1000;
    std::set<std::int32_t> drained;
    std::size_t drainedCount = 0;
    std::thread poller([&] {
        const auto deadline = std::chrono::steady_clock::now() + kPatience;
        while (drainedCount < static_cast<std::size_t>(kThreads * kReaders) &&
               std::chrono::steady_clock::now() < deadline) {
            ReaderStatusList list{nullptr, 0};
            queues.Drain(3, true, &list);
            for (std::int32_t i = 0; i < list.count; ++i) drained.insert(list.items[i].readerIndex);
            drainedCount += static_cast<std::size_t>(list.count);
            delete[] list.items;
            if (list.count == 0) std::this_thread::yield();
        }
    });
    OnThreads(kThreads, [&](int t) {
        for (int i = 1; i <= kReaders; ++i) {
            queues.Queue("3:" + std::to_string(t * kReaders + i), true);
            queues.Queue("4:" + std::to_string(i), false);
            if (i % 100 == 0) queues.ForgetPanel(9);
        }
    });
    poller.join();
    EXPECT_EQ(drainedCount, static_cast<std::size_t>(kThreads * kReaders)) << "each reader drained once";
    EXPECT_EQ(drained.size(), static_cast<std::size_t>(kThreads * kReaders));
}

// The receive thread connects and disconnects handhelds while host threads
// take status snapshots, reconcile and drain: every connection is undone by
// its disconnection, and a snapshot never lists a reader twice.
TEST(ConcurrencyTest, SiteModelChangesAndSnapshotsInterleaveWhole) {
    ReaderTransitionQueues transitions;
    SiteModel site(transitions);
    site.ReplaceAll({{3, "Gate", "D3", 7, 8}}, {{100, "HH1", "G1", "4:2", 3}},
                    {{20, "4:2", "R2", "G1", 3}, {7, "4:7", "Entry", "", 3}, {8, "4:8", "Exit", "", 3}}, {});
    constexpr int kRounds = 500;
    std::atomic<bool> done{false};
    std::atomic<int> repeated{0};
    std::thread channel([&] {
        for (int i = 0; i < kRounds; ++i) {
            site.ReaderConnected({100, "HH1", "G1", "", 3});
            site.ReaderDoorChanged(100, i % 2 ? 3 : 5, "G1");
            site.ReaderDisconnected("G1", 100);
        }
        done = true;
    });
    OnThreads(kThreads, [&](int t) {
        while (!done) {
            const std::vector<std::int32_t> online = site.OnlineReaderIndices(4);
            if (std::set<std::int32_t>(online.begin(), online.end()).size() != online.size()) ++repeated;
            if (t == 0) site.ReconcileTransitions(false);
            ReaderStatusList list{nullptr, 0};
            transitions.Drain(4, t % 2 == 0, &list);
            delete[] list.items;
        }
    });
    channel.join();
    EXPECT_EQ(repeated.load(), 0);
    EXPECT_TRUE(site.ConnectedSnapshot().empty());
}

// Host threads, the receive thread and the worker all ask for runs and try
// the gate: one holder at a time, every request is followed by a pass that
// began after it, and every request for all panels by a pass over all panels.
TEST(ConcurrencyTest, RunGateServesEveryRequestWithOneHolderAtATime) {
    ActivityRunGate gate{[] { return 0u; }};
    std::atomic<int> asks{0};
    std::atomic<int> allPanelAsks{0};
    std::atomic<int> holders{0};
    std::atomic<int> askedBeforeLastPass{0};
    std::atomic<int> allPanelAsksBeforeLastAllPass{0};
    std::atomic<bool> overlapped{false};
    const auto runPasses = [&] {
        if (!gate.TryEnter()) return;
        // Each ask is counted before it is made, so a count read once the
        // request is taken covers every ask that pass may have taken.
        for (;;) {
            const ActivityRunGate::Pass pass = gate.TakeRequestForPass();
            if (pass == ActivityRunGate::Pass::None) break;
            overlapped = overlapped || holders.fetch_add(1) != 0;
            askedBeforeLastPass = asks.load();
            if (pass == ActivityRunGate::Pass::AllPanels) allPanelAsksBeforeLastAllPass = allPanelAsks.load();
            holders.fetch_sub(1);
        }
        gate.Leave();
    };
    OnThreads(kThreads, [&](int t) {
        for (int round = 0; round < 5000; ++round) {
            const bool all = round % 4 == t % 4;
            if (all) allPanelAsks.fetch_add(1);
            asks.fetch_add(1);
            gate.Ask(all ? ActivityRunGate::Urgency::AllPanels : ActivityRunGate::Urgency::DuePanels);
            runPasses();
        }
    });
    runPasses();
    EXPECT_FALSE(overlapped.load());
    EXPECT_FALSE(gate.Asked());
    EXPECT_EQ(askedBeforeLastPass.load(), asks.load());
    EXPECT_EQ(allPanelAsksBeforeLastAllPass.load(), allPanelAsks.load());
}

// Deliveries run one at a time (the pump's run gate) but on whichever thread
// holds the gate; marks and the held-back question come from other threads,
// and panels closing and opening close and reopen the journal meanwhile. The
// file read back afterwards says what was recorded while it was open: no
// crash is counted for a call-back that returned, an id taken and not marked
// within one opening is journalled, one marked within it is not.
TEST(ConcurrencyTest, JournalFileAgreesWithDeliveriesAcrossCloseAndReopen) {
    tly::test::TempModuleDirectory dir;
    DeliveryJournal journal;
    ASSERT_TRUE(journal.Open(dir.Path()));
    constexpr int kIds = 400;
    constexpr int kDeliveriesPerOpening = 10;
    std::mutex runGate;
    std::atomic<std::uint32_t> openings{0};  // even while open, odd while closing and reopening
    std::atomic<int> delivered{0};
    std::atomic<bool> done{false};
    std::thread panels([&] {
        for (int next = kDeliveriesPerOpening; !done; std::this_thread::yield()) {
            if (delivered.load() < next) continue;
            next = delivered.load() + kDeliveriesPerOpening;
            ++openings;
            journal.Close();
            const bool reopened = journal.Open(dir.Path()).has_value();
            ++openings;
            EXPECT_TRUE(reopened);
        }
    });
    enum class InFile { Absent, Present, Either };
    std::vector<InFile> expected(kThreads * kIds, InFile::Either);
    OnThreads(kThreads, [&](int t) {
        for (int i = 0; i < kIds; ++i) {
            const std::int32_t id = t * kIds + i;
            const std::int32_t panel = 1 + t % 2;
            const bool taken = id % 3 != 0;
            const bool marked = id % 3 == 1;
            const std::uint32_t before = openings.load();
            {
                const std::lock_guard<std::mutex> gate(runGate);
                journal.BeginDelivery(panel, id, id, R"({"adm_id":)" + std::to_string(id) + "}");
                EXPECT_FALSE(journal.IsHeldBack(panel, id));
                journal.EndDelivery(taken);
            }
            if (marked) journal.Marked(panel, {id});
            ++delivered;
            if (!taken) {
                expected[id] = InFile::Absent;
            } else if (before % 2 == 0 && openings.load() == before) {
                expected[id] = marked ? InFile::Absent : InFile::Present;
            }
        }
    });
    done = true;
    panels.join();
    journal.Close();

    const std::string bytes = dir.Read(kDeliveryJournalFileName);
    journal::Contents contents;
    std::string reason;
    ASSERT_TRUE(journal::ReadImage(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), contents, reason))
        << reason;
    EXPECT_FALSE(contents.underWay);
    EXPECT_TRUE(contents.suspects.empty()) << "a call-back that returned is never counted as the process ending in it";
    EXPECT_TRUE(contents.repeatedTakenSlots.empty());
    std::map<std::int32_t, int> inFile;
    for (const auto& entry : contents.taken) {
        const auto [panel, id] = entry.second;
        ASSERT_TRUE(id >= 0 && id < kThreads * kIds) << id;
        EXPECT_EQ(panel, 1 + (id / kIds) % 2) << id;
        ++inFile[id];
    }
    int knownPresent = 0;
    for (std::int32_t id = 0; id < kThreads * kIds; ++id) {
        if (expected[id] == InFile::Either) continue;
        knownPresent += expected[id] == InFile::Present ? 1 : 0;
        EXPECT_EQ(inFile.count(id), expected[id] == InFile::Present ? 1u : 0u) << "adm_id " << id;
    }
    EXPECT_GT(knownPresent, 0) << "some deliveries fell within one opening";
}
