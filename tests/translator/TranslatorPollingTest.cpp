// The host's polls and status requests as the translator's clock: the two-call
// restore, loss reporting, the reconnect throttle shared by all panels, reader
// status records and the status entries.

#include "tests/translator/TranslatorTestSupport.h"
#include "translator/ReportedReaderStates.h"

#include <thread>

namespace tly::test {
namespace {

using namespace at;

class TranslatorPollingTest : public TranslatorTest {
protected:
    // A status record as the sink receives it: the 19-form moved into the
    // extended layout (the copy of the short form leaves its status at +60).
    static ExpectedRecord StatusRecord(std::uint32_t serial, std::int16_t panel, std::uint16_t device,
                                       std::uint32_t status) {
        return ExpectedRecord()
            .U8(kMessageType, 1)
            .U32(kSerial, serial)
            .U32(kTime, kClockHostTime)
            .U16(kPanel, static_cast<std::uint16_t>(panel))
            .U16(kDevice, device)
            .U8(kDataType, 19)
            .U32(kData + 4, status)
            .U32(kData + 8, status);
    }
    static ExpectedRecord CommunicationRecord(std::uint32_t serial, std::int16_t panel, std::uint16_t eventId) {
        return ExpectedRecord()
            .U8(kEventType, 4)
            .U32(kSerial, serial)
            .U32(kTime, kClockHostTime)
            .U16(kPanel, static_cast<std::uint16_t>(panel))
            .U16(kEventId, eventId)
            .U8(kDataType, 3);
    }
};

TEST_F(TranslatorPollingTest, RestoreTakesTwoStatusRequestsAndFetchesInitialDataOnce) {
    native.subscribed = true;
    native.onlineReaders = {{2, 1}, {3, 0}, {9, 1}};
    auto t = HostedTranslator::Create(7);
    auto sink = RecordingSink::Make();
    t.Advise(sink.get());

    StatusRequest first({1, 2, 3});
    ASSERT_EQ(first.Run(t), S_OK);
    EXPECT_EQ(first.Online(), (std::vector<int>{1, 0, 1, 0}));  // reader 9 has no entry
    EXPECT_EQ(first.status.nPanelId, 7);
    EXPECT_EQ(first.status.bAsyncStatus, 0);
    EXPECT_EQ(first.status.bDownloadingFirmware, 0);
    EXPECT_EQ(first.entries[0].nExtStatus, 0);
    for (size_t i = 1; i < first.entries.size(); ++i) {
        EXPECT_EQ(first.entries[i].nExtStatus, 0);
        EXPECT_EQ(first.entries[i].nExtMaskedStatus, 0);
        EXPECT_EQ(first.entries[i].nAlternateReaderStatus, 0);
        EXPECT_EQ(first.entries[i].nDeviceMode, 100);
    }
    EXPECT_EQ(sink.get()->Count(), 0u);
    EXPECT_EQ(Logged("panel.comm_restored").size(), 1u);
    EXPECT_EQ(native.Count("GetInitialData 7"), 0);

    // While the initial data load runs, the native layer delivers the
    // activities waiting on the server, on this same thread.
    native.duringInitialData = [&] { native.badge.load()(2, 555, 0, 0, 0); };
    t->Ors_InitCommunication();
    StatusRequest second({1, 2, 3});
    ASSERT_EQ(second.Run(t), S_OK);
    auto deliveries = sink.get()->Deliveries();
    ASSERT_EQ(deliveries.size(), 2u);
    EXPECT_RECORD(deliveries[0], CommunicationRecord(1, 7, 77));
    EXPECT_EQ(deliveries[1].I64(kData), 555);
    EXPECT_EQ(native.Count("GetInitialData 7"), 1);
    const auto pending = Logged("panel.processing_pending");
    ASSERT_EQ(pending.size(), 1u);
    EXPECT_EQ(pending[0]["level"], "debug");
    EXPECT_EQ(pending[0]["message"], "Fetching initial data and processing pending activities");

    StatusRequest third({1, 2, 3});
    third.Run(t);
    EXPECT_EQ(sink.get()->Count(), 2u);
    EXPECT_EQ(native.Count("GetInitialData 7"), 1);
    EXPECT_EQ(Logged("panel.comm_restored").size(), 1u);
}

TEST_F(TranslatorPollingTest, LossFoundByAStatusRequestIsReportedOnceFromEachSource) {
    native.subscribed = true;
    auto t = HostedTranslator::Create(7);
    auto sink = RecordingSink::Make();
    t.Advise(sink.get());
    StatusRequest up({1});
    up.Run(t);  // commUp
    t->Ors_SetPanelState(1);

    native.subscribed = false;
    StatusRequest down({1, 2});
    ASSERT_EQ(down.Run(t), S_OK);
    EXPECT_EQ(down.Online(), (std::vector<int>{0, 0, 0}));
    EXPECT_EQ(down.status.nPanelId, 7);
    // Once for the process-wide flag, once from the panel's own offline step.
    const auto deliveries = sink.get()->Deliveries();
    ASSERT_EQ(deliveries.size(), 4u);
    EXPECT_RECORD(deliveries[0], CommunicationRecord(1, 7, 76));
    EXPECT_RECORD(deliveries[1], StatusRecord(2, 7, 0, 0));
    EXPECT_RECORD(deliveries[2], CommunicationRecord(3, 7, 76));
    EXPECT_RECORD(deliveries[3], StatusRecord(4, 7, 0, 0));
    LONG online = 1;
    t->Ors_IsPanelOnline(&online);
    EXPECT_EQ(online, 0);

    StatusRequest again({1});
    again.Run(t);
    EXPECT_EQ(sink.get()->Count(), 4u);
}

TEST_F(TranslatorPollingTest, BadgeEventFileIsReplayedAfterTheRestoreAndThenByEveryPoll) {
    native.subscribed = true;
    native.badgeFileEnabled = true;
    const char record[] = R"([{"panel_id": 7, "reader_id": 2, "card_number": 1234, "type": "granted"}])";
    directory.Write("badge_events_pending.json", record);
    auto t = HostedTranslator::Create(7);
    auto sink = RecordingSink::Make();
    t.Advise(sink.get());

    ASSERT_EQ(t->Ors_PollPanelForEvents(), S_OK);  // no initial data yet: no replay
    StatusRequest().Run(t);
    EXPECT_EQ(sink.get()->Count(), 0u);
    StatusRequest().Run(t);  // restore completed: restored event, then the file
    auto deliveries = sink.get()->Deliveries();
    ASSERT_EQ(deliveries.size(), 2u);
    EXPECT_RECORD(deliveries[1], ExpectedRecord()
                                     .U32(kSerial, 2)
                                     .U32(kTime, kClockHostTime)
                                     .U16(kPanel, 7)
                                     .U16(kDevice, 2)
                                     .U8(kDataType, 2)
                                     .I64(kData, 1234)
                                     .U32(kData + 8, 0xFFFFFFFF));
    EXPECT_EQ(directory.Read("badge_events_pending.json").find("card_number"), std::string::npos);

    directory.Write("badge_events_pending.json", record);
    ASSERT_EQ(t->Ors_PollPanelForEvents(), S_OK);
    EXPECT_EQ(sink.get()->Count(), 3u);
    native.badgeFileEnabled = false;
    directory.Write("badge_events_pending.json", record);
    t->Ors_PollPanelForEvents();
    EXPECT_EQ(sink.get()->Count(), 3u);
}

TEST_F(TranslatorPollingTest, OneFlagSetIsSharedByAllPanels) {
    native.subscribed = true;
    auto a = HostedTranslator::Create(7);
    auto b = HostedTranslator::Create(8);
    auto sinkA = RecordingSink::Make();
    auto sinkB = RecordingSink::Make();
    a.Advise(sinkA.get());
    b.Advise(sinkB.get());

    StatusRequest().Run(a);  // connected
    StatusRequest().Run(b);  // restore completed by the other panel
    EXPECT_EQ(sinkA.get()->Count(), 0u);
    ASSERT_EQ(sinkB.get()->Count(), 1u);
    EXPECT_EQ(native.Count("GetInitialData 8"), 1);

    native.subscribed = false;
    StatusRequest().Run(a);  // a reports the loss...
    StatusRequest().Run(b);  // ...b finds it reported
    EXPECT_EQ(sinkA.get()->Count(), 2u);
    EXPECT_EQ(sinkB.get()->Count(), 1u);
}

TEST_F(TranslatorPollingTest, ReconnectionIsTriedAtMostEvery30SecondsAcrossPollsPanelsAndInitialisation) {
    auto a = HostedTranslator::Create(7);
    auto b = HostedTranslator::Create(8);

    EXPECT_EQ(a->Ors_PollPanelForEvents(), E_FAIL);  // first attempt
    EXPECT_EQ(native.Count("Connect 7"), 1);
    clock.Advance(10000);
    EXPECT_EQ(a->Ors_PollPanelForEvents(), E_FAIL);
    EXPECT_EQ(b->Ors_PollPanelForEvents(), E_FAIL);
    EXPECT_EQ(b->Ors_InitializePanel(), E_FAIL);
    EXPECT_EQ(native.Count("Connect 7") + native.Count("Connect 8"), 1);

    clock.Advance(30000);  // each poll also slept 1 s
    native.connectSucceeds = true;
    EXPECT_EQ(b->Ors_InitializePanel(), E_FAIL);  // reconnected, but the answer waits for the next call
    EXPECT_EQ(native.Count("Connect 8"), 1);
    EXPECT_EQ(a->Ors_PollPanelForEvents(), E_FAIL);
    EXPECT_EQ(native.Count("Connect 7"), 1);

    const auto attempts = Logged("panel.reconnect_attempt");
    ASSERT_EQ(attempts.size(), 2u);
    EXPECT_EQ(attempts[1]["fields"], nlohmann::json({{"panel_id", 8}}));
    const auto succeeded = Logged("panel.reconnect_succeeded");
    ASSERT_EQ(succeeded.size(), 1u);
    EXPECT_EQ(succeeded[0]["message"], "Reconnected to Tallyport");

    clock.Advance(30000);
    a->Ors_PollPanelForEvents();
    const auto viaPoll = Logged("panel.reconnect_succeeded");
    ASSERT_EQ(viaPoll.size(), 2u);
    EXPECT_EQ(viaPoll[1]["message"], "Reconnected to Tallyport (via PollPanel)");
}

TEST_F(TranslatorPollingTest, ThrottleSurvivesTheTickCountWrapping) {
    clock.SetTick(0xFFFFF000u);
    auto t = HostedTranslator::Create(7);
    t->Ors_PollPanelForEvents();  // attempt at tick 0xFFFFF3E8
    clock.SetTick(5000);          // wrapped, about 8 s later
    t->Ors_PollPanelForEvents();
    EXPECT_EQ(native.Count("Connect 7"), 1);
    clock.SetTick(40000);
    t->Ors_PollPanelForEvents();
    EXPECT_EQ(native.Count("Connect 7"), 2);
}

TEST_F(TranslatorPollingTest, PollReportsReaderTransitionsAndSkipsContradictoryEntries) {
    native.subscribed = true;
    native.goneOffline = {{4, 0}, {5, 1}, {6, 0}};
    native.goneOnline = {{2, 1}, {3, 0}};
    auto t = HostedTranslator::Create(7);
    auto sink = RecordingSink::Make();
    t.Advise(sink.get());

    const std::uint32_t tickBefore = clock.TickCount();
    ASSERT_EQ(t->Ors_PollPanelForEvents(), S_OK);
    EXPECT_EQ(clock.TickCount() - tickBefore, 1000u);  // every poll sleeps a second first

    const auto deliveries = sink.get()->Deliveries();
    ASSERT_EQ(deliveries.size(), 3u);
    EXPECT_RECORD(deliveries[0], StatusRecord(1, 7, 4, 0));
    EXPECT_RECORD(deliveries[1], StatusRecord(2, 7, 6, 0));
    EXPECT_RECORD(deliveries[2], StatusRecord(3, 7, 2, 1));
    const std::vector<std::string> order = native.Calls();
    const auto offline = std::find(order.begin(), order.end(), "GetReadersGoneOffline 7");
    ASSERT_NE(offline, order.end());
    EXPECT_EQ(*(offline + 1), "GetReadersGoneOnline 7");

    const auto gone = Logged("poll.reader_offline");
    ASSERT_EQ(gone.size(), 2u);
    EXPECT_EQ(gone[0]["fields"], nlohmann::json({{"panel_id", 7}, {"reader_id", 4}}));
    EXPECT_EQ(gone[0]["message"], "Reader gone offline");
    EXPECT_EQ(Logged("poll.reader_online").size(), 1u);
    const auto update = Logged("reader.online_status_update");
    ASSERT_EQ(update.size(), 1u);
    EXPECT_EQ(update[0]["message"], "Updating reader status to online");
    EXPECT_EQ(Logged("reader.offline_status_update").size(), 2u);

    EXPECT_EQ(t->Ors_PollPanelForEvents(), S_OK);  // the queues were drained
    EXPECT_EQ(sink.get()->Count(), 3u);
}

// Every reload re-queues all readers: offline first, then the connected ones
// online. The host hears only what differs from what it last heard, and after
// it was told the panel is down, each reader's state once more.
TEST_F(TranslatorPollingTest, HostHearsOnlyRealReaderChanges) {
    native.subscribed = true;
    auto t = HostedTranslator::Create(7);
    auto sink = RecordingSink::Make();
    t.Advise(sink.get());
    using Reported = std::vector<std::pair<int, int>>;  // reader id, status
    auto poll = [&](std::vector<ReaderStatusEntry> offline, std::vector<ReaderStatusEntry> online) {
        const size_t before = sink.get()->Count();
        native.goneOffline = std::move(offline);
        native.goneOnline = std::move(online);
        EXPECT_EQ(t->Ors_PollPanelForEvents(), S_OK);
        Reported reported;
        const auto deliveries = sink.get()->Deliveries();
        for (size_t i = before; i < deliveries.size(); ++i) {
            reported.emplace_back(deliveries[i].U16(kDevice), deliveries[i].U32(kData + 4));
        }
        return reported;
    };
    const std::vector<ReaderStatusEntry> reloadOffline = {{2, 0}, {3, 0}, {4, 0}};

    EXPECT_EQ(poll({}, {{2, 1}, {3, 1}}), (Reported{{2, 1}, {3, 1}})) << "first load";
    EXPECT_EQ(poll(reloadOffline, {{2, 1}, {3, 1}}), (Reported{{4, 0}})) << "reader 4 was never reported";
    EXPECT_EQ(poll(reloadOffline, {{2, 1}, {3, 1}}), Reported{}) << "steady state";
    EXPECT_EQ(poll({{3, 0}}, {}), (Reported{{3, 0}})) << "a disconnection";
    EXPECT_EQ(poll({{4, 0}}, {{4, 1}}), (Reported{{4, 1}})) << "offline and online between two polls";
    EXPECT_EQ(poll({{2, 0}}, {{2, 1}}), Reported{}) << "offline and online of a reader already online";
    EXPECT_EQ(poll(reloadOffline, {{2, 1}, {4, 1}}), Reported{}) << "steady state";
    EXPECT_EQ(Logged("poll.reader_offline").size(), 2u);
    EXPECT_EQ(Logged("poll.reader_online").size(), 3u);

    native.subscribed = false;
    StatusRequest down({2, 3, 4});
    down.Run(t);  // every entry off
    native.subscribed = true;
    EXPECT_EQ(poll(reloadOffline, {{2, 1}, {4, 1}}), (Reported{{3, 0}, {2, 1}, {4, 1}})) << "after the loss";
    EXPECT_EQ(poll(reloadOffline, {{2, 1}, {4, 1}}), Reported{});
}

TEST(ReportedReaderStatesTest, ConcurrentPollsReportAChangeOnce) {
    ReportedReaderStates states;
    const ReaderStatusEntry online[] = {{5, 1}};
    for (int round = 0; round < 200; ++round) {
        states.Forget();
        std::atomic<size_t> reported{0};
        {
            auto take = [&] { reported += states.TakeChanges({}, online).size(); };
            std::jthread first(take);
            std::jthread second(take);
        }
        ASSERT_EQ(reported.load(), 1u) << "round " << round;
    }
}

TEST_F(TranslatorPollingTest, InitializePanelFollowsTheSubscription) {
    auto t = HostedTranslator::Create(7);
    auto sink = RecordingSink::Make();
    t.Advise(sink.get());

    // Unsubscribed and never reported up: no loss to report, no records.
    EXPECT_EQ(t->Ors_InitializePanel(), E_FAIL);
    EXPECT_EQ(sink.get()->Count(), 0u);
    EXPECT_EQ(native.Count("SetServiceStatusCallback"), 1);

    native.subscribed = true;
    clock.Advance(1);
    EXPECT_EQ(t->Ors_InitializePanel(), S_OK);
    LONG online = 0;
    t->Ors_IsPanelOnline(&online);
    EXPECT_EQ(online, 1);
    auto deliveries = sink.get()->Deliveries();
    ASSERT_EQ(deliveries.size(), 2u);
    EXPECT_RECORD(deliveries[0], CommunicationRecord(1, 7, 77));
    EXPECT_RECORD(deliveries[1], StatusRecord(2, 7, 0, 1));

    // Already online: answered at once, without initialising again.
    native.ClearCalls();
    EXPECT_EQ(t->Ors_InitializePanel(), S_OK);
    EXPECT_EQ(native.Count("SetServiceStatusCallback"), 0);

    // Server gone after the panels were reported up: InitPanel reports it.
    StatusRequest().Run(t);
    t->Ors_SetPanelOffline();  // panel was online: lost pair, loss reported
    EXPECT_EQ(sink.get()->Count(), 4u);
    native.subscribed = false;
    EXPECT_EQ(t->Ors_InitializePanel(), E_FAIL);
    EXPECT_EQ(Logged("panel.comm_lost").size(), 1u);
    EXPECT_EQ(sink.get()->Count(), 6u);  // the lost pair from InitPanel; no offline step, the loss was reported
}

TEST_F(TranslatorPollingTest, InitialiseAfterSetPanelStateOneAnswersAtOnce) {
    auto t = HostedTranslator::Create(7);
    ASSERT_EQ(t->Ors_SetPanelState(1), S_OK);
    EXPECT_EQ(t->Ors_InitializePanel(), S_OK);
    EXPECT_EQ(native.Count("SetServiceStatusCallback"), 0);
    EXPECT_EQ(native.Count("GetSubscribed 7"), 0);
}

TEST_F(TranslatorPollingTest, ExceptionInsidePanelInitialisationIsLoggedAndFails) {
    auto t = HostedTranslator::Create(7);
    native.duringSubscribedCheck = [] { throw std::runtime_error("native layer broke"); };
    EXPECT_EQ(t->Ors_InitializePanel(), E_FAIL);
    const auto failed = Logged("panel.init_failed");
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0]["level"], "error");
    EXPECT_EQ(failed[0]["message"], "InitPanel raised exception");
    EXPECT_EQ(failed[0]["fields"], nlohmann::json({{"panel_id", 7}, {"exception", "native layer broke"}}));

    native.duringSubscribedCheck = [] { throw 42; };
    EXPECT_EQ(t->Ors_InitializePanel(), E_FAIL);
    const auto unknown = Logged("panel.init_failed_unknown");
    ASSERT_EQ(unknown.size(), 1u);
    EXPECT_EQ(unknown[0]["message"], "InitPanel raised unknown exception");

    // Nothing thrown from the native layer crosses a COM method.
    int state = -1;
    EXPECT_EQ(t->Ors_GetPanelState(&state), E_UNEXPECTED);
    EXPECT_EQ(t->Ors_PollPanelForEvents(), E_UNEXPECTED);
}

TEST_F(TranslatorPollingTest, PanelStateFollowsTheSubscriptionNotTheStoredState) {
    auto t = HostedTranslator::Create(7);
    int state = -1;
    t->Ors_SetPanelState(1);
    ASSERT_EQ(t->Ors_GetPanelState(&state), S_OK);
    EXPECT_EQ(state, 0);
    native.subscribed = true;
    t->Ors_SetPanelState(0);
    ASSERT_EQ(t->Ors_GetPanelState(&state), S_OK);
    EXPECT_EQ(state, 1);
    EXPECT_EQ(t->Ors_GetPanelState(nullptr), E_POINTER);
}

TEST_F(TranslatorPollingTest, StatusRequestWithoutEntriesOrRecordIsSafe) {
    native.subscribed = true;
    native.onlineReaders = {{0, 1}};
    auto t = HostedTranslator::Create(7);
    EXPECT_EQ(t.translate4.get()->Ors_GetSystemStatus3(nullptr), E_POINTER);

    _SYSTEM_STATUS3 empty{};
    empty.nEntries = 5;
    empty.pEntries = nullptr;
    EXPECT_EQ(t.translate4.get()->Ors_GetSystemStatus3(&empty), S_OK);
    EXPECT_EQ(empty.nPanelId, 7);

    _SYSTEM_STATUS_ENTRY one{};
    _SYSTEM_STATUS3 negative{};
    negative.nEntries = -3;
    negative.pEntries = &one;
    EXPECT_EQ(t.translate4.get()->Ors_GetSystemStatus3(&negative), S_OK);
    EXPECT_EQ(one.nStatus, 0);

    native.subscribed = false;
    empty.nEntries = 0;
    EXPECT_EQ(t.translate4.get()->Ors_GetSystemStatus3(&empty), S_OK);
}

TEST_F(TranslatorPollingTest, FirstMatchingEntryTakesTheReaderAndEntryZeroStaysThePanel) {
    native.subscribed = true;
    native.onlineReaders = {{4, 1}};
    auto t = HostedTranslator::Create(7);
    StatusRequest request({4, 4});
    request.Run(t);
    EXPECT_EQ(request.Online(), (std::vector<int>{1, 1, 0}));
}

}  // namespace
}  // namespace tly::test
