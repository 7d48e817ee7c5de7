#include "settings/LegacySettings.h"

#include "settings/SettingsFile.h"
#include "tests/settings/SettingsTestSupport.h"

#include <gtest/gtest.h>

using namespace tly::test;
using nlohmann::json;

namespace {

constexpr char kBackupFile[] = "tallyport_settings.txt.bak";

std::string LegacyPath(const TempModuleDirectory& dir) { return dir.File(kLegacyFile); }

}  // namespace

TEST(LegacySettings, ParsesKeyValueLines) {
    const std::vector<SettingsTextCase> cases = {
        {"the usual file", "hostname,server01\r\nport, 443\r\nvalidate_cert,TRUE\r\n# port,1\r\n",
         [](const TranslatorSettings& s) {
             EXPECT_EQ(s.hostname, "server01");
             EXPECT_EQ(s.port, 443);
             EXPECT_TRUE(s.validate_cert);
             EXPECT_EQ(s.log_level, "none");
         }},
        {"port not a number", "port,abc", [](const TranslatorSettings& s) { EXPECT_EQ(s.port, 30001); }},
        {"port beyond 32 bits", "port,99999999999", [](const TranslatorSettings& s) { EXPECT_EQ(s.port, 30001); }},
        {"port with trailing text", "port,443x", [](const TranslatorSettings& s) { EXPECT_EQ(s.port, 443); }},
        {"debug off leaves the level", "debug,false", [](const TranslatorSettings& s) { EXPECT_EQ(s.log_level, "none"); }},
        {"keys are case-sensitive", "HOSTNAME,x\nPort,1", [](const TranslatorSettings& s) {
             EXPECT_EQ(s.hostname, "localhost");
             EXPECT_EQ(s.port, 30001);
         }},
        {"odd lines; the later line wins", "hostname,first\n   \nno comma here\n\t hostname , a,b,c \t\nvalidate_cert,yes\n,5\nclient_id,ignored",
         [](const TranslatorSettings& s) {
             EXPECT_EQ(s.hostname, "a,b,c");
             EXPECT_FALSE(s.validate_cert);
             EXPECT_EQ(s.client_id, "");
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempModuleDirectory dir;
        dir.Write(kLegacyFile, c.text);
        TranslatorSettings settings;
        ASSERT_TRUE(ParseLegacySettingsText(LegacyPath(dir), settings));
        c.check(settings);
    }
    TempModuleDirectory empty;
    TranslatorSettings settings;
    EXPECT_FALSE(ParseLegacySettingsText(LegacyPath(empty), settings));
}

TEST(LegacySettings, MigratesOnceIntoJsonAndRenamesTheTextFile) {
    TempModuleDirectory dir;
    dir.Write(kLegacyFile, "hostname,server01\nport,443\nvalidate_cert,true\ndebug,true\n");
    TranslatorSettings settings;
    ASSERT_TRUE(LoadSettingsFile(settings));

    const json written = ReadJson(dir, kSettingsFile);
    EXPECT_EQ(written["server"], json({{"hostname", "server01"}, {"port", 443}, {"validate_cert", true},
                                       {"client_id", ""}, {"client_secret", ""}}));
    EXPECT_EQ(written["logging"]["level"], "debug");
    EXPECT_FALSE(dir.Exists(kLegacyFile));
    EXPECT_TRUE(dir.Exists(kBackupFile));

    const auto migrated = MainLogLines(dir, "settings.migrated");
    ASSERT_EQ(migrated.size(), 1u);
    EXPECT_EQ(migrated[0]["fields"], json({{"source", LegacyPath(dir)}, {"target", SettingsPath()}}));

    // The next load reads the JSON file and leaves the backup alone.
    dir.Write(kBackupFile, "hostname,never read");
    TranslatorSettings reloaded;
    ASSERT_TRUE(LoadSettingsFile(reloaded));
    EXPECT_EQ(reloaded.hostname, "server01");
    EXPECT_EQ(MainLogLines(dir, "settings.migrated").size(), 1u);
}

TEST(LegacySettings, ExistingBackupKeepsTheTextFileButTheJsonIsWritten) {
    TempModuleDirectory dir;
    dir.Write(kLegacyFile, "hostname,h\ndebug,true");
    dir.Write(kBackupFile, "older");
    TranslatorSettings settings;
    ASSERT_TRUE(LoadSettingsFile(settings));

    EXPECT_EQ(ReadJson(dir, kSettingsFile)["server"]["hostname"], "h");
    EXPECT_TRUE(dir.Exists(kLegacyFile));
    EXPECT_EQ(dir.Read(kBackupFile), "older");
    const auto warned = MainLogLines(dir, "settings.legacy_rename_failed");
    ASSERT_EQ(warned.size(), 1u);
    EXPECT_EQ(warned[0]["fields"]["win32_error"], 183);  // ERROR_ALREADY_EXISTS
    EXPECT_EQ(BootstrapMessages(dir).back(), "Migrated settings JSON but failed to rename legacy TXT file from '" +
                                                 LegacyPath(dir) + "' to '" + dir.File(kBackupFile) + "' (error=183)");
}

TEST(LegacySettings, UnusableJsonIsReplacedButKeptAsACopy) {
    TempModuleDirectory dir;
    const std::string unusable = R"({"version": 2, "server": {"client_id": "precious", "client_secret": "x"},})";
    dir.Write(kSettingsFile, unusable);
    dir.Write(kLegacyFile, "hostname,migrated");
    TranslatorSettings settings;
    ASSERT_TRUE(LoadSettingsFile(settings));

    EXPECT_EQ(ReadJson(dir, kSettingsFile)["server"]["hostname"], "migrated");
    EXPECT_EQ(dir.Read("tallyport_settings.json.bak"), unusable);
    EXPECT_TRUE(dir.Exists(kBackupFile));
}

TEST(LegacySettings, JsonThatCannotBeWrittenLeavesTheTextFileForTheNextLoad) {
    TempModuleDirectory dir;
    dir.Write(kSettingsFile, "not json");
    dir.Write(kLegacyFile, "hostname,h\ndebug,true");
    {
        const auto held = HoldOpen(dir.File(kSettingsFile));
        TranslatorSettings settings;
        ASSERT_TRUE(LoadSettingsFile(settings));  // the legacy values are in force all the same
        EXPECT_EQ(settings.hostname, "h");
    }
    EXPECT_EQ(dir.Read(kSettingsFile), "not json");
    EXPECT_TRUE(dir.Exists(kLegacyFile));
    EXPECT_FALSE(dir.Exists(kBackupFile));
    const auto failed = MainLogLines(dir, "settings.migration_write_failed");
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(BootstrapMessages(dir).back(), "Loaded legacy TXT settings from '" + LegacyPath(dir) +
                                                 "' but could not persist migrated JSON to '" + SettingsPath() + "'");
}
