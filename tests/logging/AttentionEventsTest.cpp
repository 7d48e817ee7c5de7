// The Event Log's rules on the test clock: each situation once per change,
// the time rules noticed at the polls, and never more than one event per kind
// and panel in 10 minutes.

#include "logging/AttentionEvents.h"

#include "EventMessages.h"
#include "tests/support/ManualClock.h"
#include "tests/support/RecordedEventLog.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

using tly::EventKind;
using tly::test::ManualClock;
using tly::test::RecordedEventLog;

constexpr std::uint32_t kSecond = 1000;
constexpr std::uint32_t kMinute = 60 * kSecond;

AttentionEvents& Events() { return AttentionEvents::Instance(); }

// The host's poll: one connection check a second, for seconds seconds.
void Poll(ManualClock& clock, std::int32_t panelId, bool up, int seconds) {
    for (int i = 0; i < seconds; ++i) {
        clock.Advance(kSecond);
        Events().NotePanelLink(panelId, up, {});
    }
}

TEST(AttentionEvents, AnOutageOfTwoMinutesIsOneOfflineAfter60sAndOneBack) {
    ManualClock clock;
    RecordedEventLog log;
    Events().NotePanelLink(3, false, "the server did not answer");
    Poll(clock, 3, false, 60);
    EXPECT_TRUE(log.Events().empty()) << "60 s offline is not more than 60 s";
    Poll(clock, 3, false, 1);
    auto events = log.Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].id, TLY_EVENT_PANEL_OFFLINE);
    EXPECT_EQ(events[0].kind, EventKind::Warning);
    ASSERT_EQ(events[0].inserts.size(), 3u);
    EXPECT_EQ(events[0].inserts[0], "3");
    EXPECT_EQ(events[0].inserts[1], "the server did not answer") << "the lost line's cause, not a later one";
    EXPECT_FALSE(events[0].inserts[2].empty());

    Poll(clock, 3, false, 59);
    Events().NotePanelLink(3, true, {});
    Poll(clock, 3, true, 30);
    events = log.Events();
    ASSERT_EQ(events.size(), 2u) << "nothing repeated while it lasts, nothing while it is up";
    EXPECT_EQ(events[1].id, TLY_EVENT_PANEL_BACK);
    EXPECT_EQ(events[1].kind, EventKind::Information);
    EXPECT_EQ(events[1].inserts, (std::vector<std::string>{"3", "120"}));
}

TEST(AttentionEvents, PanelOutagesSayNothingTooShortAndNoMoreThanOnceIn10Minutes) {
    struct Case {
        const char* name;
        std::function<void(ManualClock&)> outages;
        std::vector<DWORD> expected;
    };
    const auto outage = [](ManualClock& clock, int seconds) {
        Events().NotePanelLink(1, false, "cause");
        Poll(clock, 1, false, seconds);
        Events().NotePanelLink(1, true, {});
    };
    const std::vector<Case> cases = {
        {"a short outage", [&](ManualClock& c) { outage(c, 59); }, {}},
        {"flapping: short outages", [&](ManualClock& c) { for (int i = 0; i < 20; ++i) outage(c, 30); }, {}},
        {"a second long outage within 10 minutes",
         [&](ManualClock& c) {
             outage(c, 70);
             Poll(c, 1, true, 60);
             outage(c, 70);
         },
         {TLY_EVENT_PANEL_OFFLINE, TLY_EVENT_PANEL_BACK}},
        {"a second long outage 10 minutes after the first was raised",
         [&](ManualClock& c) {
             outage(c, 70);
             Poll(c, 1, true, 600);
             outage(c, 70);
         },
         {TLY_EVENT_PANEL_OFFLINE, TLY_EVENT_PANEL_BACK, TLY_EVENT_PANEL_OFFLINE, TLY_EVENT_PANEL_BACK}},
        {"a panel closed while offline starts afresh",
         [&](ManualClock& c) {
             Events().NotePanelLink(1, false, "cause");
             Poll(c, 1, false, 50);
             Events().ForgetPanel(1);
             Events().NotePanelLink(1, false, "cause");
             Poll(c, 1, false, 50);
         },
         {}},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        ManualClock clock;
        RecordedEventLog log;
        test.outages(clock);
        std::vector<DWORD> ids;
        for (const auto& event : log.Events()) ids.push_back(event.id);
        EXPECT_EQ(ids, test.expected);
    }
}

TEST(AttentionEvents, EachPanelHasItsOwnOutage) {
    ManualClock clock;
    RecordedEventLog log;
    Events().NotePanelLink(1, false, "cause one");
    clock.Advance(30 * kSecond);
    Events().NotePanelLink(2, false, "cause two");
    for (int i = 0; i < 100; ++i) {
        clock.Advance(kSecond);
        Events().NotePanelLink(1, false, {});
        Events().NotePanelLink(2, false, {});
    }
    const auto offline = log.WithId(TLY_EVENT_PANEL_OFFLINE);
    ASSERT_EQ(offline.size(), 2u);
    EXPECT_EQ(offline[0].inserts[0], "1");
    EXPECT_EQ(offline[0].inserts[1], "cause one");
    EXPECT_EQ(offline[1].inserts[0], "2");
    EXPECT_EQ(offline[1].inserts[1], "cause two");
}

TEST(AttentionEvents, ChannelDownForMoreThan10MinutesWhileRestWorksIsOneWarning) {
    ManualClock clock;
    RecordedEventLog log;
    const auto health = [&](bool down, int seconds) {
        for (int i = 0; i < seconds; ++i) {
            clock.Advance(kSecond);
            Events().NoteChannel(down);
        }
    };
    health(true, 1);
    health(true, 600);
    EXPECT_TRUE(log.Events().empty()) << "10 minutes is not more than 10 minutes";
    health(true, 1);
    ASSERT_EQ(log.Events().size(), 1u);
    EXPECT_EQ(log.Events()[0].id, TLY_EVENT_CHANNEL_DOWN);
    EXPECT_EQ(log.Events()[0].kind, EventKind::Warning);
    health(true, 3600);
    EXPECT_EQ(log.Events().size(), 1u) << "once per outage";

    // Up, then down again: a new outage, raised when it is long enough and
    // the quiet interval since the last one has passed.
    health(false, 1);
    health(true, 700);
    EXPECT_EQ(log.Events().size(), 2u);
    health(false, 1);
    health(true, 300);
    health(false, 1);
    health(true, 300);
    EXPECT_EQ(log.Events().size(), 2u) << "REST down too, or short outages: nothing";
}

TEST(AttentionEvents, HeldBackIsOneErrorPerPanelWithTheReleaseCommandAtEachStart) {
    ManualClock clock;
    RecordedEventLog log;
    Events().HeldBack({{1, 4711}, {2, 12}, {1, 4712}});
    auto events = log.Events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].id, TLY_EVENT_ACTIVITY_HELD_BACK);
    EXPECT_EQ(events[0].kind, EventKind::Error);
    EXPECT_EQ(events[0].inserts,
              (std::vector<std::string>{"1", "4711", "tallyport-check --release-held 1:4711", "2"}));
    EXPECT_EQ(events[1].inserts, (std::vector<std::string>{"2", "12", "tallyport-check --release-held 2:12", "1"}));

    Events().HeldBack({{1, 4711}});
    EXPECT_EQ(log.Events().size(), 2u) << "a start again within 10 minutes";
    clock.Advance(10 * kMinute);
    Events().HeldBack({{1, 4711}});
    EXPECT_EQ(log.Events().size(), 3u);
}

// The situations said once, whatever repeats them, for 10 minutes per kind and panel.
TEST(AttentionEvents, OneOffSituationsAreNotRepeatedWithinTheirInterval) {
    struct Case {
        const char* name;
        std::function<void(std::int32_t panel)> raise;
        DWORD id;
        std::vector<std::string> inserts;  // for panel 1
        bool perPanel;
    };
    const auto settings = [](bool atReload) {
        return [atReload](std::int32_t) { Events().SettingsUnloadable(atReload, "not valid JSON", "C:\\s.json"); };
    };
    const std::vector<Case> cases = {
        {"settings at start", settings(false), TLY_EVENT_SETTINGS_UNLOADABLE_AT_START,
         {"not valid JSON", "C:\\s.json"}, false},
        {"settings at a reload", settings(true), TLY_EVENT_SETTINGS_UNLOADABLE_AT_RELOAD,
         {"not valid JSON", "C:\\s.json"}, false},
        {"journal damaged", [](std::int32_t) { Events().JournalDamaged("it is damaged", "C:\\j.dat"); },
         TLY_EVENT_JOURNAL_DAMAGED, {"it is damaged", "C:\\j.dat"}, false},
        {"journal full", [](std::int32_t panel) { Events().JournalFull(panel, "no room"); }, TLY_EVENT_JOURNAL_FULL,
         {"1", "no room"}, true},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        ManualClock clock;
        RecordedEventLog log;
        for (int i = 0; i < 32; ++i) test.raise(1);  // 32 panels opened, each loading the file
        ASSERT_EQ(log.Events().size(), 1u);
        EXPECT_EQ(log.Events()[0].id, test.id);
        EXPECT_EQ(log.Events()[0].kind, EventKind::Error);
        EXPECT_EQ(log.Events()[0].inserts, test.inserts);
        test.raise(2);
        EXPECT_EQ(log.Events().size(), test.perPanel ? 2u : 1u);
        clock.Advance(10 * kMinute - 1);
        test.raise(1);
        EXPECT_EQ(log.Events().size(), test.perPanel ? 2u : 1u);
        clock.Advance(1);
        test.raise(1);
        EXPECT_EQ(log.Events().size(), test.perPanel ? 3u : 2u) << "again once the interval has passed";
    }
    // Start and reload are kinds of their own: a failed reload after a failed start is said.
    ManualClock clock;
    RecordedEventLog log;
    Events().SettingsUnloadable(false, "a", "b");
    Events().SettingsUnloadable(true, "a", "b");
    EXPECT_EQ(log.Events().size(), 2u);
}

}  // namespace
