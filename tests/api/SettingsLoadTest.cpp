#include "TallyportVersion.h"
#include "api/TLYApi.h"
#include "api/TLYApiImpl.h"
#include "logging/Log.h"
#include "settings/SecretProtection.h"
#include "settings/SettingsFile.h"
#include "tests/settings/SettingsTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace tly::test;
using nlohmann::json;

namespace {

constexpr char kDefaultFile[] = R"({
  "logging": {
    "_log_levels_example": "none | error | warn | info | debug | trace",
    "file_name": "tly_translator.log",
    "level": "none",
    "max_log_files": 3,
    "max_log_size_mb": 10
  },
  "server": {
    "client_id": "",
    "client_secret": "",
    "hostname": "localhost",
    "port": 30001,
    "validate_cert": false
  },
  "version": 2
})";

}  // namespace

TEST(SettingsLoad, OpenWithoutAnyFileWritesDefaultsAndTheNextOpenSucceeds) {
    TempModuleDirectory dir;
    EXPECT_FALSE(TLYAPI_Open(7));
    EXPECT_EQ(dir.Read(kSettingsFile), kDefaultFile);
    // Level "none": nothing is logged but what is wrong with the settings file
    // itself (the defaults' empty client id), which always is.
    for (const json& line : ReadLogLines(dir.File("tly_translator.log"))) {
        EXPECT_EQ(line["component"], "settings_bootstrap") << line.dump();
    }

    EXPECT_TRUE(TLYAPI_Open(7));
    EXPECT_TRUE(TLYAPI_Open(8));
    EXPECT_EQ(TLYApiImpl::Instance().ActivePanelCount(), 2);
}

TEST(SettingsLoad, OpenAppliesTheLoggingSettingsAndLogsTheLoad) {
    TempModuleDirectory dir;
    dir.Write(kSettingsFile, R"({"version": 2,
        "server": {"hostname": "srv", "port": 8443, "client_id": "cid", "validate_cert": true},
        "logging": {"level": "INFO", "file_name": "custom.log"},
        "debug": {"enable_badge_event_file": true}})");
    EXPECT_TRUE(TLYAPI_Open(1));
    EXPECT_TRUE(TLYAPI_IsBadgeEventFileEnabled());

    const auto loaded = LinesWithEvent(dir.File("custom.log"), "settings.loaded");
    ASSERT_EQ(loaded.size(), 1u);
    EXPECT_EQ(loaded[0]["component"], "tly_api");
    EXPECT_EQ(loaded[0]["level"], "info");
    EXPECT_EQ(loaded[0]["fields"], json({{"hostname", "srv"},
                                         {"port", 8443},
                                         {"client_id", "cid"},
                                         {"validate_cert", true},
                                         {"log_level", "INFO"},
                                         {"log_file_name", "custom.log"}, {"version", TLY_VERSION_TEXT}}));
}

TEST(SettingsLoad, WronglyTypedMemberFailsTheOpenAndKeepsTheSettingsInForce) {
    TempModuleDirectory dir;
    dir.Write(kSettingsFile, R"({"version": 2, "server": {"hostname": "first"}, "logging": {"level": "trace"}})");
    ASSERT_TRUE(TLYAPI_Open(1));

    dir.Write(kSettingsFile, R"({"version": 2, "server": {"hostname": "second", "port": "443"}})");
    EXPECT_FALSE(TLYAPI_Open(2));

    const auto failed = MainLogLines(dir, "open.failed");
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0]["fields"], json({{"panel_id", 2}, {"exception", R"(member "server"."port" must be a number)"}}));
    // The watcher, which the first open started, may see the same edit and
    // say so in the bootstrap log too, before or after the open's line.
    const auto messages = BootstrapMessages(dir);
    EXPECT_NE(std::find(messages.begin(), messages.end(),
                        "Settings file at '" + SettingsPath() +
                            "' could not be loaded: member \"server\".\"port\" must be a number"),
              messages.end());
    const TranslatorSettings inForce = TLYApiImpl::Instance().SettingsSnapshot();
    EXPECT_EQ(inForce.hostname, "first");
    EXPECT_EQ(inForce.port, 30001);
}

TEST(SettingsLoad, TheSecretNeverReachesAnyLog) {
    TempModuleDirectory dir;
    const std::string secret = "Sup3r-\"S3cr\\et\"-\xC3\xA9";
    const std::string escaped = json(secret).dump();
    auto writeFile = [&](const json& secretValue, bool plaintext) {
        json document = {{"version", 2},
                         {"server", {{"client_id", "cid"}, {"client_secret", secretValue}}},
                         {"logging", {{"level", "trace"}}},
                         {"debug", {{"plaintext_secret", plaintext}}}};
        dir.Write(kSettingsFile, document.dump());
    };

    writeFile(secret, false);
    EXPECT_TRUE(TLYAPI_Open(1));  // encrypts
    EXPECT_TRUE(TLYAPI_Open(1));  // decrypts
    EXPECT_EQ(TLYApiImpl::Instance().SettingsSnapshot().client_secret, secret);
    writeFile("DPAPI:" + DpapiEncrypt(secret), true);
    EXPECT_TRUE(TLYAPI_Open(1));  // reverts
    EXPECT_EQ(ReadJson(dir, kSettingsFile)["server"]["client_secret"], secret);
    writeFile(json::array({secret}), false);
    EXPECT_FALSE(TLYAPI_Open(1));  // wrong type
    writeFile(secret, false);
    {
        const auto held = HoldOpen(dir.File(kSettingsFile));
        EXPECT_TRUE(TLYAPI_Open(1));  // encryption cannot be written
    }
    EXPECT_TRUE(HasEvent(dir.File("tly_translator.log"), "settings.secret_encrypt_skipped"));

    const auto names = FileNames(dir, "*.log");
    EXPECT_GE(names.size(), 2u);
    for (const auto& name : names) {
        const std::string text = dir.Read(name);
        EXPECT_EQ(text.find(secret), std::string::npos) << name;
        EXPECT_EQ(text.find(escaped.substr(1, escaped.size() - 2)), std::string::npos) << name;
        EXPECT_EQ(text.find("Sup3r"), std::string::npos) << name;
    }
}

// A level that names none silences nothing: the level in force stays (at the
// first load, the default none), and the reason goes where problems with the
// settings file always go, and to the log when it is on.
TEST(SettingsLoad, AnUnknownLevelKeepsTheLevelInForceAndSaysSo) {
    const std::string unknown = R"(member "logging"."level" is "verbose", which is not a level (none, error, warn, )"
                                R"(info, debug, trace): the level in force stays )";
    {
        TempModuleDirectory dir;
        dir.Write(kSettingsFile, R"({"version": 2, "logging": {"level": "verbose"}})");
        ASSERT_TRUE(TLYAPI_Open(1));
        const auto told = BootstrapMessages(dir);
        EXPECT_NE(std::find(told.begin(), told.end(), "Settings file at '" + SettingsPath() + "': " + unknown + "none"),
                  told.end());
        EXPECT_EQ(TLYApiImpl::Instance().SettingsSnapshot().log_level, "none");
        TLYAPI_Close(1);
    }
    TempModuleDirectory dir;
    dir.Write(kSettingsFile, R"({"version": 2, "logging": {"level": "info"}})");
    ASSERT_TRUE(TLYAPI_Open(1));
    dir.Write(kSettingsFile, R"({"version": 2, "logging": {"level": "verbose"}})");
    ASSERT_TRUE(TLYAPI_Open(2));
    const auto lines = MainLogLines(dir, "settings.log_level_unknown");
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0]["level"], "error");
    EXPECT_EQ(lines[0]["message"], unknown + "info");
    EXPECT_EQ(lines[0]["fields"]["level"], "verbose");
    EXPECT_EQ(lines[0]["fields"]["level_in_force"], "info");
    EXPECT_EQ(TLYApiImpl::Instance().SettingsSnapshot().log_level, "info");
    EXPECT_TRUE(IsLogLevelEnabled(LogLevel::Info));
    EXPECT_FALSE(IsLogLevelEnabled(LogLevel::Debug));
    TLYAPI_Close(2);
    TLYAPI_Close(1);
}
