// The live status's publisher on the test clock: it looks at most once a
// second, writes only what changed (or the heartbeat), counts "today" from
// local midnight, and withdraws its file when no panel is open.

#include "api/LiveStatus.h"
#include "tests/support/ManualClock.h"
#include "platform/UniqueResource.h"
#include "tests/support/TempModuleDirectory.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <functional>
#include <string>

namespace tly::test {
namespace {

class LiveStatusTest : public ::testing::Test {
protected:
    LiveStatusTest() {
        sources.openPanels = {1};
        sources.links[1] = {"up", "2024-03-05T14:07:09Z", "", "", ""};
    }

    std::string FileName() const { return StatusFileName(::GetCurrentProcessId()); }

    // The file as it is now; a test deletes it to see whether the next look writes.
    StatusReport Written() {
        StatusReport report;
        std::string reason;
        EXPECT_TRUE(ParseStatus(folder.Read(FileName()), report, reason)) << reason;
        return report;
    }

    ManualClock clock;
    TempModuleDirectory folder;
    StatusSources sources;
    LiveStatus status{[this] { return sources; }};
};

TEST_F(LiveStatusTest, WritesOnlyWhatChangedAtMostOnceASecondAndAHeartbeatEveryTenSeconds) {
    struct Step {
        const char* what;
        std::uint32_t advanceMs;
        std::function<void(StatusSources&)> change;
        bool written;
    };
    const std::vector<Step> steps = {
        {"the first look", 0, nullptr, true},
        {"a change in the same second waits", 0, [](StatusSources& s) { s.links[1].link = "down"; }, false},
        {"still within the second", 999, nullptr, false},
        {"a second later the change is written", 1, nullptr, true},
        {"nothing changed", 1000, nullptr, false},
        {"nothing changed, nine seconds after the write", 7999, nullptr, false},
        {"the heartbeat, ten seconds after the write", 1001, nullptr, true},
        {"a second after the heartbeat", 1000, nullptr, false},
        {"a delivery counted", 1000, [](StatusSources& s) { s.deliveries[1] = {1, 0, 0, 4711}; }, true},
        {"a mark counted", 1000, [](StatusSources& s) { s.deliveries[1].marked = 1; }, true},
        {"the channel up", 1000, [](StatusSources& s) { s.channelUp = true; }, true},
        {"the journal grew", 1000, [](StatusSources& s) { s.journalBytes = 65536; }, true},
        {"an id taken and not marked", 1000, [](StatusSources& s) { s.takenUnmarked[1] = 3; }, true},
        {"a panel opened", 1000, [](StatusSources& s) { s.openPanels.push_back(2); }, true},
        {"the host's first status request", 1000, [this](StatusSources&) { status.NoteStatusRequest(1); }, true},
        {"its next, a second later, is no change by itself", 1000,
         [this](StatusSources&) {
             clock.SetLocalTime({2024, 3, 2, 5, 14, 7, 10, 42});
             status.NoteStatusRequest(1);
         },
         false},
        {"a change to a panel that is not open shows nothing", 1000,
         [](StatusSources& s) { s.heldBack[7] = 1; }, false},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        clock.Advance(step.advanceMs);
        if (step.change) step.change(sources);
        ::DeleteFileA(folder.File(FileName()).c_str());
        EXPECT_EQ(status.PublishIfDue(folder.Path()), step.written);
        EXPECT_EQ(folder.Exists(FileName()), step.written);
    }
    EXPECT_FALSE(folder.Exists(FileName() + ".new")) << "the temporary file is renamed, not left";
}

TEST_F(LiveStatusTest, TheFileHoldsEveryPieceOfThePicture) {
    sources.openPanels = {2, 1};
    sources.links[1] = {"down", "2024-03-05T14:07:09Z", "timeout", "the server did not answer in time",
                        "2024-03-05T14:07:09Z"};
    sources.deliveries[1] = {12, 10, 2, 4711};
    sources.takenUnmarked[1] = 2;
    sources.heldBack[1] = 1;
    sources.journalBytes = 65536;
    sources.channelUp = false;
    status.NoteStatusRequest(1);
    status.NoteSettings(false, "member 'server' must be an object");
    ASSERT_TRUE(status.PublishIfDue(folder.Path()));

    const StatusReport written = Written();
    EXPECT_EQ(written.process.processId, ::GetCurrentProcessId());
    EXPECT_EQ(written.process.settings, "unloadable");
    EXPECT_EQ(written.process.settingsReason, "member 'server' must be an object");
    EXPECT_EQ(written.process.journalBytes, 65536u);
    EXPECT_EQ(written.process.heartbeat, "2024-03-05T14:07:09Z") << "the clock's UTC time";
    ASSERT_EQ(written.panels.size(), 2u);
    EXPECT_EQ(written.panels[0].panelId, 2) << "in the order opened";
    EXPECT_EQ(written.panels[0].link, "unknown");
    EXPECT_EQ(written.panels[0].lastStatusRequest, "");
    const PanelStatus& one = written.panels[1];
    EXPECT_EQ(one.link, "down");
    EXPECT_EQ(one.lastLossCause, "timeout");
    EXPECT_EQ(one.lastLossCauseText, "the server did not answer in time");
    EXPECT_EQ(one.deliveredToday, 12u);
    EXPECT_EQ(one.markedToday, 10u);
    EXPECT_EQ(one.refused, 2u);
    EXPECT_EQ(one.lastActivityId, 4711);
    EXPECT_EQ(one.lastActivityAt, "2024-03-05T14:07:09Z");
    EXPECT_EQ(one.takenUnmarked, 2u);
    EXPECT_EQ(one.heldBack, 1u);
    EXPECT_EQ(one.eventChannel, "down");
    EXPECT_EQ(one.lastStatusRequest, "2024-03-05T14:07:09Z");

    status.NoteSettings(true, "ignored when loaded");
    EXPECT_EQ(status.Compose().process.settings, "loaded");
    EXPECT_EQ(status.Compose().process.settingsReason, "");
}

TEST_F(LiveStatusTest, TodayStartsAtLocalMidnightAndTheLastActivityIsStampedWhenSeen) {
    sources.deliveries[1] = {5, 4, 1, 70};
    StatusReport report = status.Compose();
    EXPECT_EQ(report.panels[0].deliveredToday, 5u) << "what the process counted before its first look is today's";
    EXPECT_EQ(report.panels[0].lastActivityAt, "2024-03-05T14:07:09Z");

    SYSTEMTIME later{2024, 3, 2, 5, 23, 59, 59, 0};
    clock.SetLocalTime(later);
    sources.deliveries[1] = {6, 5, 1, 71};
    report = status.Compose();
    EXPECT_EQ(report.panels[0].deliveredToday, 6u);
    EXPECT_EQ(report.panels[0].lastActivityAt, "2024-03-05T23:59:59Z");

    SYSTEMTIME nextDay{2024, 3, 3, 6, 0, 0, 1, 0};
    clock.SetLocalTime(nextDay);
    report = status.Compose();
    EXPECT_EQ(report.panels[0].deliveredToday, 0u) << "a new day starts from zero";
    EXPECT_EQ(report.panels[0].markedToday, 0u);
    EXPECT_EQ(report.panels[0].refused, 1u) << "refusals count since the start";
    EXPECT_EQ(report.panels[0].lastActivityId, 71);
    EXPECT_EQ(report.panels[0].lastActivityAt, "2024-03-05T23:59:59Z") << "nothing delivered since";

    sources.deliveries[1] = {9, 8, 1, 74};
    report = status.Compose();
    EXPECT_EQ(report.panels[0].deliveredToday, 3u);
    EXPECT_EQ(report.panels[0].markedToday, 3u);
    EXPECT_EQ(report.panels[0].lastActivityAt, "2024-03-06T00:00:01Z");
}

TEST_F(LiveStatusTest, AWithdrawnStatusIsGoneAndTheNextLookWritesAtOnce) {
    ASSERT_TRUE(status.PublishIfDue(folder.Path()));
    status.Withdraw(folder.Path());
    EXPECT_FALSE(folder.Exists(FileName()));
    EXPECT_TRUE(status.PublishIfDue(folder.Path())) << "a panel opened again within the second";
    EXPECT_TRUE(folder.Exists(FileName()));
}

// A child of this test, ended or held suspended, stands for another host process.
struct Child {
    explicit Child(bool suspended) {
        STARTUPINFOA startup{};
        startup.cb = sizeof(startup);
        std::string command = "cmd.exe /c exit 0";
        EXPECT_TRUE(::CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE,
                                     CREATE_NO_WINDOW | (suspended ? CREATE_SUSPENDED : 0), nullptr, nullptr, &startup,
                                     &info));
        process.reset(info.hProcess);
        thread.reset(info.hThread);
        if (!suspended) EXPECT_EQ(::WaitForSingleObject(info.hProcess, 30000), WAIT_OBJECT_0);
    }
    ~Child() {
        if (::WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT) ::TerminateProcess(process.get(), 0);
    }
    PROCESS_INFORMATION info{};
    UniqueHandle process;
    UniqueHandle thread;
};

TEST_F(LiveStatusTest, TheFirstWriteRemovesTheFilesOfEndedProcessesOnly) {
    const Child ended(false);
    const Child running(true);
    folder.Write(StatusFileName(ended.info.dwProcessId), "{}");
    folder.Write(StatusFileName(running.info.dwProcessId), "{}");
    folder.Write("tly_status_notes.json", "names no process");

    ASSERT_TRUE(status.PublishIfDue(folder.Path()));
    EXPECT_FALSE(folder.Exists(StatusFileName(ended.info.dwProcessId))) << "its process is gone";
    EXPECT_TRUE(folder.Exists(StatusFileName(running.info.dwProcessId)));
    EXPECT_TRUE(folder.Exists(FileName()));
    EXPECT_TRUE(folder.Exists("tly_status_notes.json"));

    folder.Write(StatusFileName(ended.info.dwProcessId), "{}");
    clock.Advance(1000);
    sources.channelUp = true;
    ASSERT_TRUE(status.PublishIfDue(folder.Path()));
    EXPECT_TRUE(folder.Exists(StatusFileName(ended.info.dwProcessId))) << "removed at the first write only";
}

TEST_F(LiveStatusTest, AFolderItCannotWriteInIsRetriedAtEveryLook) {
    const std::string missing = folder.File("no such folder");
    EXPECT_FALSE(status.PublishIfDue(missing));
    clock.Advance(1000);
    EXPECT_TRUE(status.PublishIfDue(folder.Path())) << "unchanged, but never written";
}

}  // namespace
}  // namespace tly::test
