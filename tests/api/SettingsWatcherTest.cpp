#include "api/TLYApi.h"
#include "api/TLYApiImpl.h"
#include "logging/Log.h"
#include "logging/RepeatedLines.h"
#include "platform/UniqueResource.h"
#include "settings/SettingsFile.h"
#include "settings/SettingsWatcher.h"
#include "tests/support/WaitUntil.h"
#include "tests/settings/SettingsTestSupport.h"
#include "tests/support/LogReader.h"
#include "tests/support/RecordedEventLog.h"
#include "tests/support/TempModuleDirectory.h"
#include "EventMessages.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <stdexcept>
#include <thread>

using tly::test::HasEvent;
using tly::test::LinesWithEvent;

namespace {

std::string SettingsText(const std::string& level, const std::string& host = "localhost",
                         const std::string& extra = "") {
    return R"({"version":2,"server":{"hostname":")" + host + R"(","port":30001,"client_id":"c")" + extra +
           R"(},"logging":{"level":")" + level + R"("}})";
}

// The watcher reacts in about half a second.
bool WaitFor(const std::function<bool()>& condition, DWORD timeoutMs = 8000) {
    return tly::test::WaitUntil(condition, timeoutMs);
}

class SettingsWatcherTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir.Write("tallyport_settings.json", SettingsText("debug"));
        ASSERT_TRUE(TLYAPI_Open(1));
        ASSERT_TRUE(WaitFor([&] { return HasEvent(LogPath(), "settings.watcher.started"); }));
    }
    void TearDown() override { TLYApiImpl::Instance().StopBackgroundWork(); }

    // Rewrites the settings file and gives it a write time of its own, a
    // second past the last one, however coarse the file system's clock.
    void Rewrite(const std::string& text) {
        const std::uint64_t before = SettingsFileWriteTime(SettingsPath());
        dir.Write("tallyport_settings.json", text);
        const std::uint64_t distinct = std::max(before, SettingsFileWriteTime(SettingsPath())) + 10000000;
        const FILETIME time{static_cast<DWORD>(distinct), static_cast<DWORD>(distinct >> 32)};
        const HANDLE file = ::CreateFileA(SettingsPath().c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                          nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        EXPECT_TRUE(::SetFileTime(file, nullptr, nullptr, &time));
        ::CloseHandle(file);
    }
    // Changes another file of the folder and waits until the watcher has
    // looked at the settings file since: whatever it was going to do about
    // earlier writes, it has done.
    void WaitForTheWatcherToLook() {
        const std::uint64_t looks = TLYApiImpl::Instance().SettingsWatcherLooksForTesting();
        dir.Write("unrelated.txt", std::to_string(looks));
        ASSERT_TRUE(WaitFor([&] { return TLYApiImpl::Instance().SettingsWatcherLooksForTesting() > looks; }));
    }
    std::string LogPath() const { return dir.File("tly_translator.log"); }

    tly::test::TempModuleDirectory dir;
};

}  // namespace

TEST_F(SettingsWatcherTest, LogLevelChangeAppliesWithoutReconnect) {
    Rewrite(SettingsText("trace"));
    ASSERT_TRUE(WaitFor([&] { return HasEvent(LogPath(), "settings.watcher.reloaded"); }));
    auto reloaded = LinesWithEvent(LogPath(), "settings.watcher.reloaded");
    EXPECT_EQ(reloaded.back()["fields"]["log_level"], "trace");
    // The record is handed on after the "reloaded" line is written.
    EXPECT_TRUE(WaitFor([] { return TLYApiImpl::Instance().SettingsSnapshot().log_level == "trace"; }));
    EXPECT_FALSE(HasEvent(LogPath(), "settings.watcher.reconnect"));
}

TEST_F(SettingsWatcherTest, HostChangeReconnectsEveryOpenPanel) {
    ASSERT_TRUE(TLYAPI_Open(2));
    Rewrite(SettingsText("debug", "tallyport.example.invalid"));
    ASSERT_TRUE(WaitFor([&] { return LinesWithEvent(LogPath(), "connect.start").size() >= 2; }));
    auto reconnect = LinesWithEvent(LogPath(), "settings.watcher.reconnect");
    ASSERT_EQ(reconnect.size(), 1u);
    EXPECT_EQ(reconnect[0]["fields"]["hostname"], "tallyport.example.invalid");
    auto connects = LinesWithEvent(LogPath(), "connect.start");
    EXPECT_EQ(connects[0]["fields"]["panel_id"], 1);
    EXPECT_EQ(connects[1]["fields"]["panel_id"], 2);
    EXPECT_EQ(connects[1]["fields"]["hostname"], "tallyport.example.invalid");
}

TEST_F(SettingsWatcherTest, AnEditMadeBeforeTheWatcherIsArmedIsNotLost) {
    // The settings in force came from the file as SetUp wrote it; the edit
    // lands after that load but before the watcher looks for the first time.
    TLYApiImpl::Instance().StopBackgroundWork();
    const std::uint64_t loaded = SettingsFileWriteTime(SettingsPath());
    Rewrite(SettingsText("trace"));
    TLYApiImpl::Instance().StartSettingsWatcher(loaded);
    EXPECT_TRUE(WaitFor([&] { return TLYApiImpl::Instance().SettingsSnapshot().log_level == "trace"; }));
}

TEST_F(SettingsWatcherTest, BrokenEditKeepsTheRunningSettingsUntilFixed) {
    tly::test::RecordedEventLog events;
    Rewrite(R"({"version":2,"logging":{"level":"trace",}})");
    ASSERT_TRUE(WaitFor([&] { return HasEvent(LogPath(), "settings.watcher.reload_failed"); }));
    EXPECT_EQ(TLYApiImpl::Instance().SettingsSnapshot().log_level, "debug");
    const auto failed = LinesWithEvent(LogPath(), "settings.watcher.reload_failed").at(0)["fields"];
    EXPECT_EQ(failed["path"], SettingsPath());
    EXPECT_EQ(failed["line"], 1);
    EXPECT_EQ(failed["column"], 41);
    EXPECT_EQ(failed["member"], R"("logging"."level")");
    const std::string reason = failed["reason"];
    EXPECT_NE(reason.find("remove the comma"), std::string::npos);
    EXPECT_EQ(LinesWithEvent(LogPath(), "settings.watcher.reload_failed").at(0)["message"],
              "Settings file changed but could not be loaded; the settings in force stay");
    // The same reason in the bootstrap log, which is written whatever the level.
    const std::string changed = "Settings file at '" + SettingsPath() + "' changed but could not be loaded: ";
    const std::string stay = "; the settings in force stay until it is corrected";
    EXPECT_EQ(tly::test::BootstrapMessages(dir).back(), changed + reason + stay);
    // In the Event Log: the same reason, and the place.
    ASSERT_TRUE(tly::test::WaitUntil([&] { return !events.Events().empty(); }));
    const auto raised = events.Events();
    ASSERT_EQ(raised.size(), 1u);
    EXPECT_EQ(raised[0].id, TLY_EVENT_SETTINGS_UNLOADABLE_AT_RELOAD);
    EXPECT_EQ(raised[0].inserts,
              (std::vector<std::string>{reason, SettingsPath() + R"(, line 1, column 41, member "logging"."level")"}));
    // A panel opened meanwhile works with the settings in force, as the others
    // do; its open says the file did not load.
    EXPECT_FALSE(TLYAPI_Open(2));
    EXPECT_EQ(TLYApiImpl::Instance().SettingsSnapshot().log_level, "debug");
    const auto kept = LinesWithEvent(LogPath(), "settings.load.incomplete");
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept[0]["message"], "Settings file could not be loaded; the settings in force stay");
    EXPECT_EQ(kept[0]["fields"], (nlohmann::json{{"config_path", SettingsPath()}}));
    EXPECT_EQ(tly::test::BootstrapMessages(dir).back(),
              "Settings file exists at '" + SettingsPath() + "' but could not be loaded as a panel opened: the settings "
              "in force stay until the file is corrected; correct it and save it, and it is read again without a "
              "restart");
    TLYAPI_Close(2);

    Rewrite(R"({"version":2,"server":{"port":"443"}})");
    ASSERT_TRUE(WaitFor([&] { return LinesWithEvent(LogPath(), "settings.watcher.reload_failed").size() >= 2; }));
    EXPECT_EQ(TLYApiImpl::Instance().SettingsSnapshot().port, 30001);
    EXPECT_EQ(tly::test::BootstrapMessages(dir).back(), changed + "member \"server\".\"port\" must be a number" + stay);

    Rewrite(SettingsText("info"));
    ASSERT_TRUE(WaitFor([&] { return TLYApiImpl::Instance().SettingsSnapshot().log_level == "info"; }));
}

TEST_F(SettingsWatcherTest, EncryptedSecretIsWrittenBackOnceWithoutReloadLoop) {
    Rewrite(SettingsText("debug", "localhost", R"(,"client_secret":"s3cr\"et")"));
    // The file is rewritten during the reload, before the reloaded record is
    // swapped in: wait for both.
    ASSERT_TRUE(WaitFor([&] {
        return dir.Read("tallyport_settings.json").find("DPAPI:") != std::string::npos &&
               TLYApiImpl::Instance().SettingsSnapshot().client_secret == "s3cr\"et";
    }));
    // The system's own rewrite wakes the watcher once more; after that it settles.
    WaitForTheWatcherToLook();
    WaitForTheWatcherToLook();
    const size_t reloads = LinesWithEvent(LogPath(), "settings.watcher.reloaded").size();
    WaitForTheWatcherToLook();
    EXPECT_EQ(LinesWithEvent(LogPath(), "settings.watcher.reloaded").size(), reloads);
    EXPECT_LE(reloads, 3u);
}

TEST_F(SettingsWatcherTest, StopReturnsPromptlyAndOpenStartsItAgain) {
    const DWORD start = ::GetTickCount();
    TLYApiImpl::Instance().StopBackgroundWork();
    EXPECT_LT(::GetTickCount() - start, 5000u);

    ASSERT_TRUE(TLYAPI_Open(1));
    ASSERT_TRUE(WaitFor([&] { return LinesWithEvent(LogPath(), "settings.watcher.started").size() == 2; }));
}

// Stop lets go of the watcher's lock before it waits for the thread, and each
// run stops on its own event: a Start while a Stop waits for a reload begins
// a run of its own at once, and both runs end when stopped.
TEST(SettingsWatcherRunTest, AStartWhileAStopWaitsForAReloadRunsOnItsOwn) {
    tly::test::TempModuleDirectory dir;
    dir.Write("tallyport_settings.json", SettingsText("debug"));
    const std::string path = dir.File("tallyport_settings.json");
    tly::UniqueHandle inReload(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    tly::UniqueHandle release(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::atomic<int> reloads{0};
    SettingsWatcher watcher([&](const TranslatorSettings&) {
        if (reloads.fetch_add(1) != 0) return;
        ::SetEvent(inReload.get());
        ::WaitForSingleObject(release.get(), 10000);
    });
    watcher.Start(path, 0);  // the file's time differs: it is reloaded at once
    ASSERT_EQ(::WaitForSingleObject(inReload.get(), 8000), WAIT_OBJECT_0);

    std::thread stopping([&] { watcher.Stop(); });
    ASSERT_TRUE(WaitFor([&] { return !watcher.Running(); }));
    const DWORD startedAt = ::GetTickCount();
    watcher.Start(path, SettingsFileWriteTime(path));
    EXPECT_LT(::GetTickCount() - startedAt, 2000u) << "Start waited for the stopping run's reload";
    EXPECT_TRUE(watcher.Running());

    ::SetEvent(release.get());
    stopping.join();  // the first run ended on its own event
    EXPECT_TRUE(watcher.Running());
    const DWORD stoppedAt = ::GetTickCount();
    watcher.Stop();
    EXPECT_LT(::GetTickCount() - stoppedAt, 2000u);
    EXPECT_FALSE(watcher.Running());
    EXPECT_EQ(reloads.load(), 1);
}

// A watcher whose thread has ended without a stop (a wait that failed) is
// started again by the next host call that uses the settings, here the health
// tick, which says so; the new run goes on from the settings in force, so an
// edit made while no thread watched is loaded.
TEST_F(SettingsWatcherTest, AnEndedWatcherIsStartedAgainByTheNextHostCall) {
    ASSERT_TRUE(TLYApiImpl::Instance().EndSettingsWatcherRunForTesting());
    EXPECT_TRUE(TLYApiImpl::Instance().SettingsWatcherRunning()) << "ended, not stopped";
    Rewrite(SettingsText("trace"));
    EXPECT_FALSE(HasEvent(LogPath(), "settings.watcher.restarted"));

    TLYAPI_GetSubscribed(1);
    const auto restarted = LinesWithEvent(LogPath(), "settings.watcher.restarted");
    ASSERT_EQ(restarted.size(), 1u) << "written by the call that started it";
    EXPECT_EQ(restarted[0]["level"], "warn");
    EXPECT_EQ(restarted[0]["component"], "tly_api");
    EXPECT_EQ(restarted[0]["message"], "The settings file watcher's thread had ended; started it again");
    EXPECT_EQ(restarted[0]["fields"], (nlohmann::json{{"thread", "settings_watcher"}, {"path", SettingsPath()}}));
    EXPECT_TRUE(WaitFor([&] { return TLYApiImpl::Instance().SettingsSnapshot().log_level == "trace"; }));
    EXPECT_EQ(LinesWithEvent(LogPath(), "settings.watcher.started").size(), 2u);

    TLYAPI_GetSubscribed(1);
    EXPECT_EQ(LinesWithEvent(LogPath(), "settings.watcher.restarted").size(), 1u) << "a running watcher is left alone";
    TLYApiImpl::Instance().StopBackgroundWork();
    TLYAPI_GetSubscribed(1);
    EXPECT_FALSE(TLYApiImpl::Instance().SettingsWatcherRunning()) << "a stopped watcher is not started again";
}

TEST_F(SettingsWatcherTest, ClosingTheLastPanelStopsTheWatcher) {
    TLYAPI_Close(1);
    EXPECT_FALSE(TLYApiImpl::Instance().SettingsWatcherRunning());
    // Counted once the watcher has stopped: its first look runs after the
    // line SetUp waits for, and a look under way at the close still counts.
    const std::uint64_t looks = TLYApiImpl::Instance().SettingsWatcherLooksForTesting();
    Rewrite(SettingsText("trace"));
    dir.Write("unrelated.txt", "a change of the folder");
    EXPECT_EQ(TLYApiImpl::Instance().SettingsWatcherLooksForTesting(), looks);
    EXPECT_FALSE(HasEvent(LogPath(), "settings.watcher.reloaded"));
}

// A pass of the watcher that throws is logged and the watcher goes on: the
// edit that pass did not get to is loaded at the next look.
TEST(SettingsWatcherRunTest, APassThatThrowsIsLoggedAndWatchingGoesOn) {
    tly::test::TempModuleDirectory dir;
    dir.Write("tallyport_settings.json", SettingsText("debug"));
    const std::string path = dir.File("tallyport_settings.json");
    const std::string log = dir.File("tly_translator.log");
    TranslatorSettings logging;
    logging.log_level = "debug";
    ApplyLoggingSettings(logging);  // nothing is written before a record is applied
    static std::atomic<int> passes{0};
    passes = 0;
    std::atomic<int> reloads{0};
    SettingsWatcher watcher([&](const TranslatorSettings&) { ++reloads; });
    watcher.SetPassHookForTesting([] {
        if (passes.fetch_add(1) == 0) throw std::runtime_error("watcher pass broke");
    });
    watcher.Start(path, 0);  // the file's time differs: its first pass would reload at once
    ASSERT_TRUE(WaitFor([&] { return HasEvent(log, "settings.watcher.pass_failed"); }));
    EXPECT_EQ(reloads.load(), 0);
    EXPECT_TRUE(watcher.Running());

    const std::uint64_t looks = watcher.LooksTaken();
    dir.Write("unrelated.txt", "a change of the folder");
    ASSERT_TRUE(WaitFor([&] { return reloads.load() == 1; })) << "the next look reloads";
    EXPECT_GT(watcher.LooksTaken(), looks);
    watcher.Stop();

    const auto failed = LinesWithEvent(log, "settings.watcher.pass_failed");
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0]["level"], "error");
    EXPECT_EQ(failed[0]["component"], "tly_api");
    EXPECT_EQ(failed[0]["message"], "Settings file watcher pass failed; watching goes on");
    EXPECT_EQ(failed[0]["fields"], (nlohmann::json{{"path", path}, {"exception", "watcher pass broke"}}));
    tly::ResetRepeatedLinesForTesting();
}

TEST(ConnectionSettingsDifferTest, OnlyConnectionFieldsCount) {
    TranslatorSettings a;
    TranslatorSettings b;
    b.log_level = "trace";
    b.enable_badge_event_file = true;
    b.plaintext_secret = true;
    EXPECT_FALSE(ConnectionSettingsDiffer(a, b));
    for (auto change : std::vector<std::function<void(TranslatorSettings&)>>{
             [](TranslatorSettings& s) { s.hostname = "x"; }, [](TranslatorSettings& s) { s.port = 1; },
             [](TranslatorSettings& s) { s.client_id = "x"; }, [](TranslatorSettings& s) { s.client_secret = "x"; },
             [](TranslatorSettings& s) { s.validate_cert = true; },
             [](TranslatorSettings& s) { s.cert_thumbprint = "ab"; }}) {
        TranslatorSettings c;
        change(c);
        EXPECT_TRUE(ConnectionSettingsDiffer(a, c));
    }
}
