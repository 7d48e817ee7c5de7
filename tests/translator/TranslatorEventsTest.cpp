// Event records reaching the host: what the native call-backs produce, byte
// for byte as the sink receives them, the sink's connection rules, delivery to
// the object of their own panel only, and deliveries racing the object's destruction.

#include "api/DeliveryPanel.h"
#include "tests/translator/TranslatorTestSupport.h"
#include "translator/HostEventRecords.h"

#include <olectl.h>

#include <thread>

namespace tly::test {
namespace {

using namespace at;

class TranslatorEventsTest : public TranslatorTest {};

TEST_F(TranslatorEventsTest, BadgeActivityBecomesOneRecordOfTheCardOrCardlessForm) {
    struct Case {
        const char* name;
        std::int32_t reader;
        std::int64_t badge;
        std::int32_t type, id;
        std::uint32_t time;
        ExpectedRecord expected;
    };
    const std::int64_t wide = 0x123456789ABLL;  // needs more than 32 bits
    const Case cases[] = {
        {"granted, time 0 means now", 3, wide, 0, 0, 0,
         ExpectedRecord().U16(kDevice, 3).U8(kDataType, 2).I64(kData, wide).U32(kData + 8, 0xFFFFFFFF)
             .U32(kTime, kClockHostTime)},
        {"type 1 id 0 carries no card", 4, 999, 1, 0, 1709280309,
         ExpectedRecord().U8(kEventType, 1).U16(kDevice, 4).U32(kTime, 1709280309)},
        {"denial with a reason code", 5, 1234, 1, 63, 1709280309,
         ExpectedRecord().U8(kEventType, 1).U16(kEventId, 63).U16(kDevice, 5).U8(kDataType, 2).I64(kData, 1234)
             .U32(kData + 8, 0xFFFFFFFF).U32(kTime, 1709280309)},
        {"only the low byte of the type and the low 16 bits of the id", 6, 1, 260, 0x12345, 1,
         ExpectedRecord().U8(kEventType, 4).U16(kEventId, 0x2345).U16(kDevice, 6).U8(kDataType, 2).I64(kData, 1)
             .U32(kData + 8, 0xFFFFFFFF).U32(kTime, 1)},
    };
    auto t = HostedTranslator::Create(7);
    auto sink = RecordingSink::Make();
    ASSERT_EQ(t.Advise(sink.get()), S_OK);
    ASSERT_EQ(t->Ors_InitCommunication(), S_OK);
    ASSERT_NE(native.badge.load(), nullptr);

    std::uint32_t serial = 0;
    for (const Case& c : cases) {
        native.badge.load()(c.reader, c.badge, c.type, c.id, c.time);
        const auto deliveries = sink.get()->Deliveries();
        ASSERT_EQ(deliveries.size(), serial + 1) << c.name;
        ExpectedRecord expected = c.expected;
        expected.U32(kSerial, ++serial).U16(kPanel, 7);
        EXPECT_RECORD(deliveries.back(), expected) << c.name;
        EXPECT_TRUE(deliveries.back().nullText) << c.name;
        EXPECT_EQ(deliveries.back().value, 0) << c.name;
    }
}

TEST_F(TranslatorEventsTest, AlarmCarriesItsTextAndAnEmptyTextGoesAsNull) {
    auto t = HostedTranslator::Create(9);
    auto sink = RecordingSink::Make();
    ASSERT_EQ(t.Advise(sink.get()), S_OK);
    ASSERT_EQ(t->Ors_InitCommunication(), S_OK);
    const AlarmEventCallback alarm = native.alarm.load();
    ASSERT_NE(alarm, nullptr);

    alarm(2, 5000000000LL, 2, 3, 1709280309, L"Panic \u00e9\u20ac");
    alarm(2, 0, 30, 2, 0, L"");
    alarm(2, 0, 30, 2, 0, nullptr);

    const auto deliveries = sink.get()->Deliveries();
    ASSERT_EQ(deliveries.size(), 3u);
    EXPECT_RECORD(deliveries[0], ExpectedRecord()
                                     .U8(kEventType, 2)
                                     .U8(kAssociatedText, 1)
                                     .U32(kSerial, 1)
                                     .U32(kTime, 1709280309)
                                     .U16(kPanel, 9)
                                     .U16(kDevice, 2)
                                     .U16(kEventId, 3)
                                     .U8(kDataType, 2)
                                     .I64(kData, 5000000000LL)
                                     .U32(kData + 8, 0xFFFFFFFF));
    EXPECT_FALSE(deliveries[0].nullText);
    EXPECT_EQ(deliveries[0].text, L"Panic \u00e9\u20ac");
    for (int i : {1, 2}) {
        EXPECT_TRUE(deliveries[i].nullText);
        EXPECT_EQ(deliveries[i].bytes[kAssociatedText], 0);
        EXPECT_EQ(deliveries[i].U32(kTime), kClockHostTime);
        EXPECT_EQ(deliveries[i].bytes[kDataType], 2);
    }
}

TEST(HostTime, PacksTheCalendarAsIfUtcAndMarksYearsOutOfRange) {
    const struct {
        SYSTEMTIME time;
        std::uint32_t expected;
    } cases[] = {
        {{1970, 1, 4, 1, 0, 0, 0, 0}, 0},
        {{2000, 2, 2, 29, 0, 0, 0, 0}, 951782400},
        {{2024, 3, 5, 1, 8, 5, 9, 500}, 1709280309},
        {{2037, 12, 4, 31, 23, 59, 59, 999}, 2145916799},
        {{2038, 1, 5, 1, 0, 0, 0, 0}, kNoHostTime},
        {{2040, 6, 5, 1, 12, 0, 0, 0}, kNoHostTime},
        {{1969, 12, 3, 31, 23, 59, 59, 0}, kNoHostTime},
    };
    for (const auto& c : cases) EXPECT_EQ(HostTimeFromCalendar(c.time), c.expected) << c.time.wYear;
}

TEST_F(TranslatorEventsTest, EventWithoutTimeInYear2040IsStampedNoTime) {
    clock.SetLocalTime({2040, 6, 5, 1, 12, 0, 0, 0});
    auto t = HostedTranslator::Create(7);
    auto sink = RecordingSink::Make();
    t.Advise(sink.get());
    t->Ors_InitCommunication();
    native.badge.load()(1, 1, 0, 0, 0);
    ASSERT_EQ(sink.get()->Count(), 1u);
    EXPECT_EQ(sink.get()->Deliveries()[0].U32(kTime), 0xFFFFFFFFu);
}

TEST_F(TranslatorEventsTest, SerialNumbersFollowTheHostsCounterAndRecordsWithoutSinkStillUseOne) {
    auto t = HostedTranslator::Create(7);
    t->Ors_InitCommunication();
    const BadgeActivityCallback badge = native.badge.load();

    ASSERT_EQ(t->Ors_SetEventCounter(41), S_OK);
    badge(1, 1, 0, 0, 0);  // no sink yet: dropped, but it took 42
    LONG serial = 0;
    ASSERT_EQ(t->Ors_GetPanelEventSerialNumber(&serial), S_OK);
    EXPECT_EQ(serial, 43);

    auto sink = RecordingSink::Make();
    ASSERT_EQ(t.Advise(sink.get()), S_OK);
    badge(1, 1, 0, 0, 0);
    ASSERT_EQ(sink.get()->Count(), 1u);
    EXPECT_EQ(sink.get()->Deliveries()[0].U32(kSerial), 44u);

    // A counter set to the top wraps to 0, and a record with serial 0 takes the next one.
    t->Ors_SetEventCounter(-1);
    badge(1, 1, 0, 0, 0);
    ASSERT_EQ(sink.get()->Count(), 2u);
    EXPECT_EQ(sink.get()->Deliveries()[1].U32(kSerial), 1u);
}

TEST_F(TranslatorEventsTest, CallBacksReachOnlyTheNewestObjectAndNothingOnceItIsGone) {
    auto older = HostedTranslator::Create(7);
    auto olderSink = RecordingSink::Make();
    older.Advise(olderSink.get());
    older->Ors_InitCommunication();
    auto newer = HostedTranslator::Create(8);
    auto newerSink = RecordingSink::Make();
    newer.Advise(newerSink.get());
    newer->Ors_InitCommunication();

    native.badge.load()(1, 77, 0, 0, 0);
    native.alarm.load()(1, 77, 30, 2, 0, L"battery");
    EXPECT_EQ(olderSink.get()->Count(), 0u);
    ASSERT_EQ(newerSink.get()->Count(), 2u);
    for (const Delivery& d : newerSink.get()->Deliveries()) EXPECT_EQ(d.U16(kPanel), 8);

    newer.Release();
    native.badge.load()(1, 77, 0, 0, 0);
    native.alarm.load()(1, 77, 30, 2, 0, L"battery");
    EXPECT_EQ(olderSink.get()->Count(), 0u);
    EXPECT_EQ(newerSink.get()->Count(), 2u);
    // The destroyed object no longer holds its sink.
    EXPECT_EQ(newerSink.get()->References(), 1u);
}

// A record the host did not take refuses the delivery, so the activity is
// not marked: a failing sink, or none advised (not yet, or no longer).
TEST_F(TranslatorEventsTest, RecordsTheHostDidNotTakeRefuseTheDelivery) {
    struct Case {
        const char* name;
        HRESULT answer;
        bool advised;
        bool refused;
    };
    const Case cases[] = {
        {"taken", S_OK, true, false},
        {"taken with a warning", S_FALSE, true, false},
        {"sink fails", E_FAIL, true, true},
        {"sink out of memory", E_OUTOFMEMORY, true, true},
        {"no sink advised", S_OK, false, true},
    };
    for (const Case& c : cases) {
        auto t = HostedTranslator::Create(7);
        auto sink = RecordingSink::Make();
        sink.get()->answer = c.answer;
        if (c.advised) t.Advise(sink.get());
        t->Ors_InitCommunication();
        DeliveryPanelScope delivering(7);
        native.badge.load()(1, 77, 0, 0, 0);
        EXPECT_EQ(delivering.TakeRefusal(), c.refused) << c.name;
        native.alarm.load()(1, 77, 30, 2, 0, L"battery");
        EXPECT_EQ(delivering.TakeRefusal(), c.refused) << c.name;
    }
}

// With several panels in one process, an activity run knows whose
// activities it delivers: each reaches the object of its own panel.
TEST_F(TranslatorEventsTest, ActivitiesOfAKnownPanelReachThatPanelsObject) {
    auto older = HostedTranslator::Create(7);
    auto olderSink = RecordingSink::Make();
    older.Advise(olderSink.get());
    older->Ors_InitCommunication();
    auto newer = HostedTranslator::Create(8);
    auto newerSink = RecordingSink::Make();
    newer.Advise(newerSink.get());
    newer->Ors_InitCommunication();

    {
        const DeliveryPanelScope delivering(7);
        native.badge.load()(1, 77, 0, 0, 0);
        native.alarm.load()(1, 77, 30, 2, 0, L"battery");
    }
    ASSERT_EQ(olderSink.get()->Count(), 2u);
    for (const Delivery& d : olderSink.get()->Deliveries()) EXPECT_EQ(d.U16(kPanel), 7);
    EXPECT_EQ(newerSink.get()->Count(), 0u);

    // A panel without an object of its own (never had one, or it is gone)
    // is refused, never handed to another panel's object.
    older.Release();
    for (std::int32_t panel : {9, 7}) {
        DeliveryPanelScope delivering(panel);
        native.badge.load()(1, 78, 0, 0, 0);
        EXPECT_TRUE(delivering.TakeRefusal()) << panel;
        native.alarm.load()(1, 78, 30, 2, 0, L"battery");
        EXPECT_TRUE(delivering.TakeRefusal()) << panel;
    }
    EXPECT_EQ(newerSink.get()->Count(), 0u);
}

TEST_F(TranslatorEventsTest, DeliveryUnderWayWhenTheObjectIsDestroyedFinishesSafely) {
    UniqueHandle entered(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    UniqueHandle proceed(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    auto t = HostedTranslator::Create(7);
    auto sink = RecordingSink::Make();
    sink.get()->whileDelivering = [&] {
        ::SetEvent(entered.get());
        ::WaitForSingleObject(proceed.get(), 10000);
    };
    t.Advise(sink.get());
    t->Ors_InitCommunication();
    const BadgeActivityCallback badge = native.badge.load();

    std::thread receiver([&] { badge(3, 1234, 0, 0, 0); });
    ASSERT_EQ(::WaitForSingleObject(entered.get(), 10000), WAIT_OBJECT_0);
    t.Release();  // the host lets go while the record is with its sink
    EXPECT_EQ(native.Count("Close 7"), 1);
    ::SetEvent(proceed.get());
    receiver.join();

    ASSERT_EQ(sink.get()->Count(), 1u);
    EXPECT_EQ(sink.get()->Deliveries()[0].U16(kDevice), 3);
    EXPECT_EQ(sink.get()->References(), 1u);
    sink.get()->whileDelivering = nullptr;
    badge(3, 1234, 0, 0, 0);
    EXPECT_EQ(sink.get()->Count(), 1u);
}

TEST_F(TranslatorEventsTest, CallBacksRacingCreationAndDestructionNeverReachADestroyedObject) {
    std::atomic<bool> done{false};
    {
        auto first = HostedTranslator::Create(1);
        first->Ors_InitCommunication();
    }
    const BadgeActivityCallback badge = native.badge.load();
    const AlarmEventCallback alarm = native.alarm.load();
    // One receiver, as the native layer has, yielding so the creating thread
    // keeps its share of a busy machine.
    std::thread receiver([&] {
        while (!done.load()) {
            badge(1, 42, 0, 0, 0);
            alarm(1, 42, 2, 3, 0, L"panic");
            ::SwitchToThread();
        }
    });
    auto sink = RecordingSink::Make();
    for (int i = 0; i < 200; ++i) {
        auto t = HostedTranslator::Create(100 + i % 5);
        t.Advise(sink.get());
        if (i % 2) t.point.get()->Unadvise(t.cookie);
    }
    done = true;
    receiver.join();

    // A record built just before its object was given its panel id says panel 0.
    for (const Delivery& d : sink.get()->Deliveries()) {
        EXPECT_EQ(d.U32(kSize), 216u);
        EXPECT_TRUE(d.U16(kPanel) == 0 || (d.U16(kPanel) >= 100 && d.U16(kPanel) <= 104)) << d.U16(kPanel);
    }
    EXPECT_EQ(sink.get()->References(), 1u);
}

TEST_F(TranslatorEventsTest, ConnectionPointHoldsOneSinkAndKeepsItAgainstAWrongCookie) {
    auto t = HostedTranslator::Create(7);
    t->Ors_InitCommunication();
    auto sink = RecordingSink::Make();
    auto other = RecordingSink::Make();
    DWORD cookie = 99;

    EXPECT_EQ(t.point.get()->Advise(nullptr, &cookie), E_POINTER);
    EXPECT_EQ(t.point.get()->Advise(sink.get(), nullptr), E_POINTER);
    ASSERT_EQ(t.point.get()->Advise(sink.get(), &cookie), S_OK);
    EXPECT_EQ(cookie, 1u);
    EXPECT_EQ(t.point.get()->Advise(other.get(), &cookie), CONNECT_E_ADVISELIMIT);
    EXPECT_EQ(cookie, 0u);

    EXPECT_EQ(t.point.get()->Unadvise(2), CONNECT_E_NOCONNECTION);
    native.badge.load()(1, 1, 0, 0, 0);
    EXPECT_EQ(sink.get()->Count(), 1u);  // still connected

    EXPECT_EQ(t.point.get()->Unadvise(1), S_OK);
    EXPECT_EQ(sink.get()->References(), 1u);
    native.badge.load()(1, 1, 0, 0, 0);
    EXPECT_EQ(sink.get()->Count(), 1u);
    EXPECT_EQ(t.point.get()->Unadvise(1), CONNECT_E_NOCONNECTION);

    ASSERT_EQ(t.point.get()->Advise(other.get(), &cookie), S_OK);
    native.badge.load()(1, 1, 0, 0, 0);
    EXPECT_EQ(other.get()->Count(), 1u);
}

TEST_F(TranslatorEventsTest, SinkWithoutTheEventRevisionIsHeldButReceivesNothing) {
    auto t = HostedTranslator::Create(7);
    t->Ors_InitCommunication();
    auto old = RecordingSink::Make(false);
    ASSERT_EQ(t.Advise(old.get()), S_OK);
    native.badge.load()(1, 1, 0, 0, 0);
    EXPECT_EQ(old.get()->Count(), 0u);
    auto other = RecordingSink::Make();
    EXPECT_EQ(t.Advise(other.get()), CONNECT_E_ADVISELIMIT);
}

TEST_F(TranslatorEventsTest, ConnectionPointBelongsToItsObject) {
    auto t = HostedTranslator::Create(7);
    UniqueComPtr<IConnectionPointContainer> container;
    t->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(container.put()));
    UniqueComPtr<IConnectionPoint> none;
    EXPECT_EQ(container.get()->FindConnectionPoint(IID_IDistributeEvent2, none.put()), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(container.get()->FindConnectionPoint(IID_IDistributeEvent, nullptr), E_POINTER);

    IID iid{};
    ASSERT_EQ(t.point.get()->GetConnectionInterface(&iid), S_OK);
    EXPECT_TRUE(IsEqualIID(iid, IID_IDistributeEvent));
    UniqueComPtr<IConnectionPointContainer> back;
    ASSERT_EQ(t.point.get()->GetConnectionPointContainer(back.put()), S_OK);
    EXPECT_EQ(back.get(), container.get());

    // The point keeps its object alive: released last, it still answers.
    UniqueComPtr<IConnectionPoint> point = std::move(t.point);
    t.Release();
    container.reset();
    back.reset();
    EXPECT_EQ(native.Count("Close 7"), 0);
    ASSERT_EQ(point.get()->GetConnectionInterface(&iid), S_OK);
    point.reset();
    EXPECT_EQ(native.Count("Close 7"), 1);
}

TEST_F(TranslatorEventsTest, AHostFindsThePointAndItsConnectionByEnumeration) {
    auto t = HostedTranslator::Create(7);
    UniqueComPtr<IConnectionPointContainer> container;
    t->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(container.put()));
    UniqueComPtr<IEnumConnectionPoints> points;
    ASSERT_EQ(container.get()->EnumConnectionPoints(points.put()), S_OK);
    IConnectionPoint* found[2] = {};
    ULONG fetched = 0;
    EXPECT_EQ(points.get()->Next(2, found, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 1u);
    UniqueComPtr<IConnectionPoint> point(found[0]);
    EXPECT_EQ(point.get(), t.point.get());
    EXPECT_EQ(points.get()->Next(2, found, nullptr), E_POINTER);
    UniqueComPtr<IEnumConnectionPoints> clone;
    ASSERT_EQ(points.get()->Clone(clone.put()), S_OK);
    EXPECT_EQ(clone.get()->Skip(1), S_FALSE) << "a clone starts where its original stands";
    EXPECT_EQ(points.get()->Reset(), S_OK);
    EXPECT_EQ(points.get()->Skip(0), E_INVALIDARG);
    EXPECT_EQ(points.get()->Skip(1), S_OK);

    UniqueComPtr<IEnumConnections> connections;
    CONNECTDATA connection{};
    ASSERT_EQ(point.get()->EnumConnections(connections.put()), S_OK);
    EXPECT_EQ(connections.get()->Next(1, &connection, nullptr), S_FALSE);
    auto sink = RecordingSink::Make();
    ASSERT_EQ(t.Advise(sink.get()), S_OK);
    ASSERT_EQ(point.get()->EnumConnections(connections.put()), S_OK);
    ASSERT_EQ(connections.get()->Next(1, &connection, nullptr), S_OK);
    const UniqueComPtr<IUnknown> connected(connection.pUnk);
    EXPECT_EQ(connection.dwCookie, 1u);
    EXPECT_EQ(connected.get(), static_cast<IUnknown*>(static_cast<IDistributeEvent2*>(sink.get())));

    // The points' enumerators keep the object alive; every enumerator keeps the module.
    t.Release();
    container.reset();
    point.reset();
    EXPECT_EQ(native.Count("Close 7"), 0);
    points.reset();
    clone.reset();
    EXPECT_EQ(native.Count("Close 7"), 1);
    EXPECT_EQ(com::ModuleLockCount(), 1);
    connections.reset();
    EXPECT_EQ(com::ModuleLockCount(), 0);
}

TEST_F(TranslatorEventsTest, ServiceStatusCallBackOnlyLogs) {
    native.subscribed = true;
    auto t = HostedTranslator::Create(7);
    auto sink = RecordingSink::Make();
    t.Advise(sink.get());
    t->Ors_InitCommunication();
    ASSERT_EQ(t->Ors_InitializePanel(), S_OK);
    const size_t before = sink.get()->Count();
    const ServiceStatusChangedCallback service = native.service.load();
    ASSERT_NE(service, nullptr);
    service(true);
    service(false);
    EXPECT_EQ(sink.get()->Count(), before);

    const auto lines = Logged("service.status_changed");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0]["level"], "info");
    EXPECT_EQ(lines[0]["message"], "Tallyport service connected");
    EXPECT_EQ(lines[0]["fields"], nlohmann::json({{"connected", true}}));
    EXPECT_EQ(lines[1]["level"], "warn");
    EXPECT_EQ(lines[1]["message"], "Tallyport service disconnected");
    EXPECT_EQ(lines[1]["fields"], nlohmann::json({{"connected", false}}));

    native.display.load()(L"shown nowhere");
    EXPECT_EQ(sink.get()->Count(), before);
}

}  // namespace
}  // namespace tly::test
