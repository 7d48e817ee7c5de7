#include "settings/SettingsFile.h"

#include "tests/settings/SettingsTestSupport.h"

#include <gtest/gtest.h>
#include <windows.h>

using namespace tly::test;
using nlohmann::json;

TEST(SettingsFile, ReadsMembersWithTheirDefaultsAndConversions) {
    const std::vector<SettingsTextCase> cases = {
        {"only the version starts from the defaults", R"({"version": 2})",
         [](const TranslatorSettings& s) {
             EXPECT_EQ(s.hostname, "localhost");
             EXPECT_EQ(s.client_secret, "");
             EXPECT_FALSE(s.secret_was_plaintext);
         }},
        {"byte-order mark", "\xEF\xBB\xBF{\"version\": 2, \"server\": {\"hostname\": \"h\"}}",
         [](const TranslatorSettings& s) { EXPECT_EQ(s.hostname, "h"); }},
        {"fraction truncated, boolean as number",
         R"({"version": 2.5, "server": {"port": 443.9}, "logging": {"max_log_files": true}})",
         [](const TranslatorSettings& s) {
             EXPECT_EQ(s.port, 443);
             EXPECT_EQ(s.max_log_files, 1);
         }},
        {"every section",
         R"({"version": 3, "server": {"client_id": "id", "validate_cert": true, "cert_thumbprint": " AB:CD:ef 12-3"},
             "logging": {"level": "debug", "max_log_size_mb": -1, "_log_levels_example": 5},
             "debug": {"enable_badge_event_file": true, "plaintext_secret": true}, "unknown": [1]})",
         [](const TranslatorSettings& s) {
             EXPECT_EQ(s.client_id, "id");
             EXPECT_TRUE(s.validate_cert);
             EXPECT_EQ(s.cert_thumbprint, "abcdef123");
             EXPECT_EQ(s.log_level, "debug");
             EXPECT_EQ(s.max_log_size_mb, -1);
             EXPECT_TRUE(s.enable_badge_event_file);
             EXPECT_TRUE(s.plaintext_secret);
         }},
        {"prefix alone is an empty secret", R"({"version": 2, "server": {"client_secret": "DPAPI:"}})",
         [](const TranslatorSettings& s) {
             EXPECT_EQ(s.client_secret, "");
             EXPECT_FALSE(s.secret_was_plaintext);
         }},
        {"prefix in lower case is plaintext", R"({"version": 2, "server": {"client_secret": "dpapi:abc"}})",
         [](const TranslatorSettings& s) {
             EXPECT_EQ(s.client_secret, "dpapi:abc");
             EXPECT_TRUE(s.secret_was_plaintext);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempModuleDirectory dir;
        dir.Write(kSettingsFile, c.text);
        TranslatorSettings settings;
        settings.client_secret = "stale";
        ASSERT_TRUE(ReadSettingsJson(SettingsPath(), settings));
        c.check(settings);
    }
}

TEST(SettingsFile, UnusableFilesAreReportedAndNeverOverwritten) {
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"empty", ""},
        {"trailing comma", R"({"version": 2,})"},
        {"comment", "{\"version\": 2 // two\n}"},
        {"version 1", R"({"version": 1})"},
        {"no version", R"({"server": {"hostname": "h"}})"},
        {"damaged stored secret", R"({"version": 2, "server": {"client_secret": "DPAPI:!!not base64!!"}})"},
        // Would exhaust the stack when the plaintext secret is rewritten.
        {"nested 50000 deep", R"({"version": 2, "server": {"client_secret": "plain"}, "deep": )" +
                                  std::string(50000, '[') + std::string(50000, ']') + "}"},
    };
    for (const auto& [name, text] : cases) {
        SCOPED_TRACE(name);
        TempModuleDirectory dir;
        dir.Write(kSettingsFile, text);
        TranslatorSettings settings;
        EXPECT_FALSE(LoadSettingsFile(settings));
        EXPECT_EQ(dir.Read(kSettingsFile), text);
        EXPECT_EQ(settings.hostname, "localhost");
        const auto messages = BootstrapMessages(dir);
        ASSERT_FALSE(messages.empty());
        EXPECT_EQ(messages.back(), "Settings file exists at '" + SettingsPath() +
                                       "' but could not be loaded. Check the bootstrap log for details.");
    }
}

TEST(SettingsFile, WronglyTypedMembersThrowNamingTheMember) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {R"({"version": 2, "server": {"port": "443"}})", R"(member "server"."port" must be a number)"},
        {R"({"version": 2, "server": 5})", R"(member "server" must be an object)"},
        {R"({"version": 2, "server": {"hostname": null}})", R"(member "server"."hostname" must be a string)"},
        {R"({"version": 2, "server": {"port": 4294967297}})", R"(member "server"."port" is out of range)"},
        {R"([{"version": 2}])", "the settings document must be a JSON object"},
    };
    for (const auto& [text, expected] : cases) {
        SCOPED_TRACE(text);
        TempModuleDirectory dir;
        dir.Write(kSettingsFile, text);
        TranslatorSettings settings;
        try {
            ReadSettingsJson(SettingsPath(), settings);
            ADD_FAILURE() << "no type error";
        } catch (const SettingsTypeError& e) {
            EXPECT_EQ(std::string(e.what()), expected);
        }
        EXPECT_EQ(BootstrapMessages(dir),
                  std::vector<std::string>{"Settings file at '" + SettingsPath() + "' could not be loaded: " + expected});
        EXPECT_EQ(dir.Read(kSettingsFile), text);
    }
}

TEST(SettingsFile, UpdateKeepsUnknownMembersAndSortsKeys) {
    TempModuleDirectory dir;
    dir.Write(kSettingsFile,
              R"({"zeta": {"b": 1, "a": [true, null]}, "version": 2,
                  "server": {"port": 443, "extra": "kept", "client_secret": "DPAPI:x"},
                  "logging": {"_log_levels_example": "none", "level": "info"}})");
    ASSERT_EQ(UpdateServerFieldIfChanged(SettingsPath(), "cert_thumbprint", "ab12"), FieldUpdate::Written);

    const json expected = json::parse(
        R"({"logging": {"_log_levels_example": "none", "level": "info"},
            "server": {"cert_thumbprint": "ab12", "client_secret": "DPAPI:x", "extra": "kept", "port": 443},
            "version": 2, "zeta": {"a": [true, null], "b": 1}})");
    EXPECT_EQ(dir.Read(kSettingsFile), expected.dump(2));
}

TEST(SettingsFile, UpdateFailuresLeaveTheFileAlone) {
    TempModuleDirectory dir;
    for (const std::string text : {R"({"version": 2})", R"({"version": 2, "server": "x"})"}) {
        dir.Write(kSettingsFile, text);
        EXPECT_FALSE(UpdateServerField(SettingsPath(), "cert_thumbprint", "ab"));
        EXPECT_EQ(dir.Read(kSettingsFile), text);
        EXPECT_EQ(BootstrapMessages(dir).back(),
                  "Settings JSON has unexpected structure — cannot update field 'cert_thumbprint'");
    }
}

// Nesting within the bound, but built to blow up when indented.
TEST(SettingsFile, UpdateThatWouldInflateTheFileIsRefused) {
    TempModuleDirectory dir;
    std::string nested = std::string(60, '[') + std::string(60, ']');
    std::string text = R"({"version": 2, "server": {}, "x": [)" + nested;
    for (int i = 0; i < 2000; ++i) text += "," + nested;
    text += "]}";
    dir.Write(kSettingsFile, text);
    EXPECT_FALSE(UpdateServerField(SettingsPath(), "client_secret", "DPAPI:x"));
    EXPECT_EQ(dir.Read(kSettingsFile), text);
}

TEST(SettingsFile, FailedReplacementKeepsTheOldFileAndLeavesNoTemporaryFile) {
    TempModuleDirectory dir;
    const std::string original = R"({"version": 2, "server": {"hostname": "keep"}})";
    dir.Write(kSettingsFile, original);
    {
        const auto held = HoldOpen(dir.File(kSettingsFile));
        ASSERT_TRUE(held);
        EXPECT_FALSE(WriteSettingsJson(SettingsPath(), TranslatorSettings{}));
        EXPECT_FALSE(UpdateServerField(SettingsPath(), "cert_thumbprint", "ab"));
    }
    EXPECT_EQ(dir.Read(kSettingsFile), original);
    const auto messages = BootstrapMessages(dir);
    ASSERT_EQ(messages.size(), 1u);  // the update reports nothing of its own
    EXPECT_EQ(messages[0].rfind("Failed to create JSON settings file at '" + SettingsPath() + "' (error=", 0), 0u)
        << messages[0];
    EXPECT_EQ(messages[0].find("(error=0)"), std::string::npos);
    EXPECT_EQ(FileNames(dir),
              (std::vector<std::string>{kSettingsFile, "tly_translator.log", "tly_translator_bootstrap.log"}));
}
