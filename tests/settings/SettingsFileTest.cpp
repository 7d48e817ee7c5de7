#include "settings/SettingsFile.h"

#include "platform/FileAccess.h"
#include "settings/SecretProtection.h"
#include "tests/settings/SettingsTestSupport.h"
#include "tests/support/ManualClock.h"
#include "tests/support/RecordedEventLog.h"
#include "EventMessages.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>

using namespace tly::test;
using nlohmann::json;

namespace {

// Sets "server".key in the settings file; true when it holds the value after.
bool Updated(const char* key, const std::string& value) {
    const FieldUpdate outcome = UpdateServerFieldIfChanged(SettingsPath(), key, value);
    return outcome == FieldUpdate::Written || outcome == FieldUpdate::Unchanged;
}

}  // namespace

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
        {"whole numbers written with a fraction, boolean as number",
         R"({"version": 2.0, "server": {"port": 443.0}, "logging": {"max_log_files": true}})",
         [](const TranslatorSettings& s) {
             EXPECT_EQ(s.port, 443);
             EXPECT_EQ(s.max_log_files, 1);
         }},
        {"the ends of 32 bits",
         R"({"version": 2, "server": {"port": 2147483647.0},
             "logging": {"max_log_size_mb": 2147483647, "max_log_files": -0.0}})",
         [](const TranslatorSettings& s) {
             EXPECT_EQ(s.port, 2147483647);
             EXPECT_EQ(s.max_log_size_mb, 2147483647);
             EXPECT_EQ(s.max_log_files, 0);
         }},
        {"log limits that cannot be meant take their defaults",
         R"({"version": 2, "logging": {"max_log_size_mb": -2147483648, "max_log_files": -1}})",
         [](const TranslatorSettings& s) {
             EXPECT_EQ(s.max_log_size_mb, 10);
             EXPECT_EQ(s.max_log_files, 3);
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
             EXPECT_EQ(s.max_log_size_mb, 10);
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
        RecordedEventLog events;
        EXPECT_FALSE(LoadSettingsFile(settings));
        // One error in the Event Log, with the reason and the file.
        const auto raised = events.Events();
        ASSERT_EQ(raised.size(), 1u);
        EXPECT_EQ(raised[0].id, TLY_EVENT_SETTINGS_UNLOADABLE_AT_START);
        EXPECT_EQ(raised[0].kind, tly::EventKind::Error);
        EXPECT_FALSE(raised[0].inserts.at(0).empty());
        EXPECT_EQ(raised[0].inserts.at(1).rfind(SettingsPath(), 0), 0u) << raised[0].inserts.at(1);
        EXPECT_EQ(dir.Read(kSettingsFile), text);
        EXPECT_EQ(settings.hostname, "localhost");
        const auto messages = BootstrapMessages(dir);
        ASSERT_FALSE(messages.empty());
        EXPECT_EQ(messages.back(), "Settings file exists at '" + SettingsPath() +
                                       "' but could not be loaded: the translator runs on its defaults (no server "
                                       "sign-in, logging off) until the file is corrected; correct it and save it, "
                                       "and it is read again without a restart");
    }
}

TEST(SettingsFile, WronglyTypedMembersThrowNamingTheMember) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {R"({"version": 2, "server": {"port": "443"}})", R"(member "server"."port" must be a number)"},
        {R"({"version": 2, "server": 5})", R"(member "server" must be an object)"},
        {R"({"version": 2, "server": {"hostname": null}})", R"(member "server"."hostname" must be a string)"},
        {R"({"version": 2, "server": {"port": 4294967297}})", R"(member "server"."port" is out of range)"},
        {R"({"version": 2, "server": {"port": null}})", R"(member "server"."port" must be a number)"},
        {R"({"version": 2, "server": {"port": [443]}})", R"(member "server"."port" must be a number)"},
        {R"({"version": 2, "server": {"port": 2147483648.0}})", R"(member "server"."port" is out of range)"},
        // A fraction was never meant: refused rather than cut to 43079.
        {R"({"version": 2, "server": {"port": 43079.5}})",
         R"(member "server"."port" is 43079.5, which is not a whole number)"},
        {R"({"version": 2.5})", R"(member "version" is 2.5, which is not a whole number)"},
        {R"({"version": 2, "logging": {"max_log_files": -0.5}})",
         R"(member "logging"."max_log_files" is -0.5, which is not a whole number)"},
        {R"({"version": 2, "logging": {"max_log_files": -2147483649}})",
         R"(member "logging"."max_log_files" is out of range)"},
        {R"({"version": 2, "server": {"validate_cert": 1}})", R"(member "server"."validate_cert" must be a boolean)"},
        {R"({"version": 2, "debug": {"plaintext_secret": null}})",
         R"(member "debug"."plaintext_secret" must be a boolean)"},
        {R"({"version": 2, "logging": {"level": 3}})", R"(member "logging"."level" must be a string)"},
        {R"([{"version": 2}])", "the settings document must be a JSON object"},
    };
    for (const auto& [text, expected] : cases) {
        SCOPED_TRACE(text);
        TempModuleDirectory dir;
        dir.Write(kSettingsFile, text);
        TranslatorSettings settings;
        RecordedEventLog events;
        try {
            LoadSettingsFile(settings);
            ADD_FAILURE() << "no type error";
        } catch (const SettingsTypeError& e) {
            EXPECT_EQ(std::string(e.what()), expected);
        }
        ASSERT_EQ(events.WithId(TLY_EVENT_SETTINGS_UNLOADABLE_AT_START).size(), 1u);
        EXPECT_EQ(events.Events().at(0).inserts.at(0), expected);
        EXPECT_EQ(BootstrapMessages(dir),
                  std::vector<std::string>{"Settings file at '" + SettingsPath() + "' could not be loaded: " + expected});
        EXPECT_EQ(dir.Read(kSettingsFile), text);
    }
}

TEST(SettingsFile, InspectionSaysWhatIsWrongWithoutReportingWritingOrQuotingTheFile) {
    using Outcome = SettingsInspection::Outcome;
    using Secret = SettingsInspection::Secret;
    struct Case {
        const char* name;
        std::string text;  // empty: no file
        Outcome outcome;
        Secret secret;
        std::string problem;  // how the problem begins; none when empty
    };
    const std::string encrypted = "DPAPI:" + DpapiEncrypt("s3cret");
    const std::vector<Case> cases = {
        {"no file", "", Outcome::Missing, Secret::Empty, ""},
        {"syntax error just after the secret", R"({"version": 2, "server": {"client_secret": "s3cret" "port": 1}})",
         Outcome::NotJson, Secret::Empty, "not valid JSON at line 1, column "},
        {"unterminated secret", "{\"version\": 2, \"server\": {\"client_secret\": \"s3cret\n}}", Outcome::NotJson,
         Secret::Empty, "a line break inside quoted text at line 1, column "},
        {"old version", R"({"version": 1, "server": {"client_secret": "s3cret"}})", Outcome::OldVersion, Secret::Empty,
         R"(member "version" must be 2 or more)"},
        {"wrong type", R"({"version": 2, "server": {"client_secret": 7}})", Outcome::WrongType, Secret::Empty,
         R"(member "server"."client_secret" must be a string)"},
        {"plain secret", R"({"version": 2, "server": {"client_secret": "s3cret"}})", Outcome::Loaded, Secret::Plain, ""},
        {"protected secret", R"({"version": 2, "server": {"client_secret": ")" + encrypted + R"("}})", Outcome::Loaded,
         Secret::Protected, ""},
        {"secret protected elsewhere, read past",
         R"({"version": 2, "server": {"client_secret": "DPAPI:AAECAwQ="}, "logging": {"level": "info"}})",
         Outcome::Loaded, Secret::Undecryptable, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempModuleDirectory dir;
        if (!c.text.empty()) dir.Write(kSettingsFile, c.text);
        TranslatorSettings settings;
        const SettingsInspection inspection = InspectSettingsJson(SettingsPath(), settings);
        EXPECT_EQ(inspection.outcome, c.outcome);
        EXPECT_EQ(inspection.secret, c.secret);
        EXPECT_EQ(inspection.problem.rfind(c.problem, 0), 0u) << inspection.problem;
        if (c.problem.empty()) {
            EXPECT_EQ(inspection.problem, "");
        }
        EXPECT_EQ(inspection.problem.find("s3cret"), std::string::npos) << inspection.problem;
        if (c.outcome == Outcome::Loaded) {
            EXPECT_EQ(settings.client_secret, c.secret == Secret::Undecryptable ? "" : "s3cret");
        }
        if (c.secret == Secret::Undecryptable) {
            EXPECT_EQ(settings.log_level, "info");  // read on past the secret
        }
        EXPECT_FALSE(dir.Exists("tly_translator_bootstrap.log"));
        EXPECT_EQ(dir.Exists(kSettingsFile) ? dir.Read(kSettingsFile) : "", c.text);
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
        EXPECT_FALSE(Updated("cert_thumbprint", "ab"));
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
    EXPECT_FALSE(Updated("client_secret", "DPAPI:x"));
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
        EXPECT_FALSE(Updated("cert_thumbprint", "ab"));
    }
    EXPECT_EQ(dir.Read(kSettingsFile), original);
    // Each refused call is reported with its error: the write's replace, then
    // its rewrite in place, and the write as a whole once; the update's one
    // open, which compares and writes under one handle.
    const std::string failed = "Failed to create JSON settings file at '" + SettingsPath() + "' (error=32)";
    const auto messages = BootstrapMessages(dir);
    EXPECT_EQ(std::count(messages.begin(), messages.end(), failed), 1);
    EXPECT_EQ(messages.size(), 4u);
    for (const std::string& message : messages) {
        if (message == failed) continue;
        EXPECT_EQ(message.rfind("Writing settings file at '" + SettingsPath() + "': ", 0), 0u) << message;
        EXPECT_TRUE(message.find("MoveFileExA on '") != std::string::npos ||
                    message.find("CreateFileA on '") != std::string::npos)
            << message;
        EXPECT_EQ(message.find("(error=0)"), std::string::npos) << message;
    }
    EXPECT_EQ(FileNames(dir),
              (std::vector<std::string>{kSettingsFile, "tly_translator.log", "tly_translator_bootstrap.log"}));
}

TEST(SettingsFile, RewritesKeepTheFilesRightsAndAttributesAndGetPastReadersWithoutDeleteSharing) {
    TempModuleDirectory dir;
    dir.Write(kSettingsFile, R"({"version": 2, "server": {"hostname": "h"}})");
    const std::string path = dir.File(kSettingsFile);
    // Rules of the file's own, not inherited from the directory.
    ASSERT_TRUE(SetAccessRules(path, "D:P(A;;FA;;;WD)"));
    ASSERT_TRUE(::SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_HIDDEN));
    const std::string rules = AccessRules(path);

    ASSERT_TRUE(Updated("cert_thumbprint", "ab"));
    {
        // An ordinary reader shares reading and writing, not deletion: the
        // file cannot be replaced now, only rewritten in place.
        const tly::UniqueFileHandle reader(::CreateFileA(path.c_str(), GENERIC_READ,
                                                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                                         FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(reader);
        ASSERT_TRUE(Updated("client_id", "a much longer value than the file held before"));
        ASSERT_TRUE(Updated("client_id", "c"));  // and cut to its new length
    }
    const json written = ReadJson(dir, kSettingsFile);
    EXPECT_EQ(written["server"]["cert_thumbprint"], "ab");
    EXPECT_EQ(written["server"]["client_id"], "c");
    EXPECT_EQ(AccessRules(path), rules);
    EXPECT_EQ(::GetFileAttributesA(path.c_str()) & FILE_ATTRIBUTE_HIDDEN, static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN));
    EXPECT_TRUE(FileNames(dir, "*.tmp").empty());
}

// A load meets a writer halfway through rewriting the file in place: the
// first bytes are the new version's, the rest still the old one's.
TEST(SettingsFile, ALoadWaitsForARewriteInPlaceToFinish) {
    TempModuleDirectory dir;
    const std::string older = json{{"version", 2}, {"server", {{"hostname", std::string(300, 'o')}}}}.dump(2);
    const std::string newer = json{{"version", 2}, {"server", {{"hostname", "new"}}}}.dump(2);
    const std::string path = dir.File(kSettingsFile);
    const struct {
        const char* what;
        bool finishesWhileTheLoadWaits;
        bool loads;
        const char* hostname;
    } cases[] = {
        {"a writer that finishes at once: the new version", true, true, "new"},
        // Read past as before, and the half-written text is said to be no JSON.
        {"a writer that keeps the file: read past after a bounded wait", false, false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        dir.Write(kSettingsFile, older);
        tly::UniqueFileHandle writer(::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                   nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(writer);
        DWORD written = 0;
        ASSERT_TRUE(::WriteFile(writer.get(), newer.data(), static_cast<DWORD>(newer.size()), &written, nullptr));
        ManualClock clock;
        int waits = 0;
        clock.OnSleep([&] {
            ++waits;
            if (c.finishesWhileTheLoadWaits && writer) {
                ASSERT_TRUE(::SetEndOfFile(writer.get()));
                writer.reset();
            }
        });
        TranslatorSettings loaded;
        SettingsInspection read;
        EXPECT_EQ(ReadSettingsJson(SettingsPath(), loaded, &read), c.loads) << read.problem;
        EXPECT_EQ(loaded.hostname, c.loads ? c.hostname : "localhost");
        EXPECT_EQ(waits, c.finishesWhileTheLoadWaits ? 1 : 10);
    }
}

TEST(SettingsFile, MembersThatWouldBeGuessedAreNamedWithWhatTheyResemble) {
    struct Expected {
        const char* reason;
        std::string member;
        std::string suggestion;
        std::string saying = "";  // a part of the finding's words; empty: not checked
    };
    struct Case {
        const char* name;
        std::string text;
        std::vector<Expected> findings;
    };
    const std::string complete = R"("port": 443, "client_id": "c", "client_secret": "s")";
    const std::vector<Case> cases = {
        {"complete, with a note", R"({"version": 2, "_note": 1, "server": {"hostname": "h", )" + complete + "}}", {}},
        {"capitalised", R"({"version": 2, "server": {"Hostname": "h", )" + complete + "}}",
         {{"unknown_member", R"("server"."Hostname")", R"("server"."hostname")"},
          {"missing_member", R"("server"."hostname")", ""}}},
        {"letters swapped", R"({"version": 2, "server": {"hostnmae": "h", )" + complete + "}}",
         {{"unknown_member", R"("server"."hostnmae")", R"("server"."hostname")"},
          {"missing_member", R"("server"."hostname")", ""}}},
        {"in the wrong section", R"({"version": 2, "port": 1, "server": {"hostname": "h", )" + complete + "}}",
         {{"unknown_member", R"("port")", R"("server"."port")"}}},
        {"nothing like it", R"({"version": 2, "colour": 1, "server": {"hostname": "h", )" + complete + "}}",
         {{"unknown_member", R"("colour")", ""}}},
        {"no server at all", R"({"version": 2})",
         {{"missing_member", R"("server"."hostname")", ""},
          {"missing_member", R"("server"."port")", ""},
          {"missing_member", R"("server"."client_id")", ""},
          {"missing_member", R"("server"."client_secret")", ""}}},
        {"the example file's values",
         R"({"version": 2, "server": {"hostname": "tallyport.example.local", "port": 30001,
             "client_id": "replace-with-the-oauth-client-id", "client_secret": "replace-with-the-oauth-client-secret"}})",
         {{"placeholder", R"("server"."hostname")", ""},
          {"placeholder", R"("server"."client_id")", ""},
          {"placeholder", R"("server"."client_secret")", ""}}},
        {"a URL as host name", R"({"version": 2, "server": {"hostname": "https://srv/", )" + complete + "}}",
         {{"hostname_not_a_name", R"("server"."hostname")", ""}}},
        {"a port in the host name", R"({"version": 2, "server": {"hostname": "srv:443", )" + complete + "}}",
         {{"hostname_not_a_name", R"("server"."hostname")", ""}}},
        {"a space inside the host name", R"({"version": 2, "server": {"hostname": "srv 01", )" + complete + "}}",
         {{"hostname_not_a_name", R"("server"."hostname")", ""}}},
        {"an IPv6 address is a name", R"({"version": 2, "server": {"hostname": "fe80::1", )" + complete + "}}", {}},
        {"spaces around", R"({"version": 2, "logging": {"level": "info "}, "server": {"hostname": " srv", )" +
                              complete + "}}",
         {{"surrounding_spaces", R"("server"."hostname")", ""}, {"surrounding_spaces", R"("logging"."level")", ""}}},
        // What a parsed document no longer shows: the last of two is used.
        {"a member twice", R"({"version": 2, "server": {"hostname": "h", "port": 1, )" + complete + "}}",
         {{"duplicate_member", R"("server"."port")", "", R"(member "server"."port" appears twice; the last one is used)"}}},
        {"a section three times",
         R"({"version": 2, "debug": {}, "debug": {}, "debug": {}, "server": {"hostname": "h", )" + complete + "}}",
         {{"duplicate_member", R"("debug")", "", "appears 3 times; the last one is used"}}},
        // Valid JSON escapes that make a tab of "\t" in a Windows path.
        {"backslashes that make tabs",
         R"({"version": 2, "logging": {"file_name": "C:\tp\tly.log"}, "server": {"hostname": "h", )" + complete + "}}",
         {{"control_character", R"("logging"."file_name")", "",
           R"(member "logging"."file_name" contains a tab: in JSON write each backslash as \\)"}}},
        {"log limits that cannot be meant",
         R"({"version": 2, "logging": {"max_log_size_mb": 0, "max_log_files": -1}, "server": {"hostname": "h", )" +
             complete + "}}",
         {{"default_used", R"("logging"."max_log_size_mb")", "",
           "is 0: the log would never be rotated; the default 10 is used"},
          {"default_used", R"("logging"."max_log_files")", "", "is -1, which is not a count of files; the default 3 is used"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempModuleDirectory dir;
        dir.Write(kSettingsFile, c.text);
        TranslatorSettings settings;
        SettingsInspection read;
        ASSERT_TRUE(ReadSettingsJson(SettingsPath(), settings, &read));
        ASSERT_EQ(read.findings.size(), c.findings.size());
        for (size_t i = 0; i < c.findings.size(); ++i) {
            EXPECT_EQ(FindingReason(read.findings[i].kind), std::string(c.findings[i].reason)) << i;
            EXPECT_EQ(read.findings[i].member, c.findings[i].member) << i;
            EXPECT_EQ(read.findings[i].suggestion, c.findings[i].suggestion) << i;
            EXPECT_EQ(read.findings[i].text.find("replace-with"), std::string::npos) << read.findings[i].text;
            EXPECT_NE(read.findings[i].text.find(c.findings[i].saying), std::string::npos) << read.findings[i].text;
        }
    }
}

// The defaults still apply (older files keep working), but never in silence:
// every load says so at warn or error, and the bootstrap log, which is written
// whatever the level, says it once for as long as the file stays the same.
TEST(SettingsFile, LoadNamesFindingsInTheLogAtEveryLoadAndInTheBootstrapLogOnce) {
    TempModuleDirectory dir;
    dir.Write(kSettingsFile, R"({"version": 2, "logging": {"level": "warn"},
        "server": {"hostnmae": "srv", "port": 443, "client_id": "c", "client_secret": ""}})");
    TranslatorSettings settings;
    ASSERT_TRUE(LoadSettingsFile(settings));
    ASSERT_TRUE(LoadSettingsFile(settings));
    EXPECT_EQ(settings.hostname, "localhost");

    const auto unknown = MainLogLines(dir, "settings.unknown_member");
    ASSERT_EQ(unknown.size(), 2u);
    EXPECT_EQ(unknown[0]["level"], "warn");
    EXPECT_EQ(unknown[0]["fields"]["member"], R"("server"."hostnmae")");
    EXPECT_EQ(unknown[0]["fields"]["did_you_mean"], R"("server"."hostname")");
    EXPECT_EQ(unknown[0]["fields"]["path"], SettingsPath());
    const auto missing = MainLogLines(dir, "settings.missing_member");
    ASSERT_EQ(missing.size(), 4u);  // the host name and the secret, at each load
    EXPECT_EQ(missing[0]["level"], "error");
    EXPECT_EQ(missing[0]["fields"]["member"], R"("server"."hostname")");
    EXPECT_EQ(BootstrapMessages(dir).size(), 3u);
}

// A log file the log will not take is said where the operator looks: in the
// default log, which takes the lines instead, and once in the bootstrap log.
TEST(SettingsFile, ARefusedLogFileIsNamedWithWhereTheLogGoesInstead) {
    TempModuleDirectory dir;
    dir.Write("notes.txt", "someone else's notes\r\n");
    const std::string named = dir.File("notes.txt");
    json document = {{"version", 2},
                     {"logging", {{"level", "warn"}, {"file_name", named}}},
                     {"server", {{"hostname", "srv"}, {"port", 443}, {"client_id", "c"}, {"client_secret", "s"}}}};
    dir.Write(kSettingsFile, document.dump());
    TranslatorSettings settings;
    ASSERT_TRUE(LoadSettingsFile(settings));
    ASSERT_TRUE(LoadSettingsFile(settings));

    const auto refused = MainLogLines(dir, "settings.log_file_refused");
    ASSERT_EQ(refused.size(), 2u);  // at each load
    EXPECT_EQ(refused[0]["level"], "error");
    EXPECT_EQ(refused[0]["component"], "settings");
    EXPECT_EQ(refused[0]["fields"]["member"], R"("logging"."file_name")");
    EXPECT_EQ(refused[0]["fields"]["reason"], "log_file_refused");
    EXPECT_EQ(refused[0]["fields"]["refusal"], "name_not_log");
    EXPECT_EQ(refused[0]["fields"]["log_file"], named);
    EXPECT_EQ(refused[0]["fields"]["log_file_in_use"], dir.File("tly_translator.log"));
    std::vector<std::string> told = BootstrapMessages(dir);
    told.erase(std::remove_if(told.begin(), told.end(),
                              [](const std::string& m) { return m.find(R"("logging"."file_name")") == std::string::npos; }),
               told.end());
    ASSERT_EQ(told.size(), 1u);
    EXPECT_NE(told[0].find(named), std::string::npos) << told[0];
    EXPECT_NE(told[0].find(dir.File("tly_translator.log") + " instead"), std::string::npos) << told[0];
    EXPECT_EQ(dir.Read("notes.txt"), "someone else's notes\r\n");
}

TEST(SettingsFile, EditingMistakesAreSaidInPlainWordsWithTheirPlace) {
    struct Case {
        const char* name;
        std::string text;
        std::string saying;  // a part of the problem's words
        int line;
        int column;
        std::string member;
        std::string reason = "settings_not_json";
    };
    const std::vector<Case> cases = {
        {"empty", "", "the file is empty", 0, 0, "", "settings_empty"},
        {"blank", " \r\n", "only blanks", 0, 0, "", "settings_empty"},
        {"UTF-16 with its mark", std::string("\xFF\xFE{\0\"\0", 6), "save it again with the encoding UTF-8", 0, 0,
         "", "settings_utf16"},
        {"single backslash",
         "{\"version\": 2,\n \"logging\": {\n  \"file_name\": \"C:\\Logs\\tly.log\"}}", "write \\\\ for each backslash", 3,
         19, R"("logging"."file_name")", "single_backslash"},
        // Saved in ANSI: the parser alone would call it a missing comma.
        {"an ANSI byte", "{\"version\": 2,\n \"server\": {\"hostname\": \"caf\xE9\"}}",
         "the file is not UTF-8 at byte 44 at line 2, column 29", 2, 29, R"("server"."hostname")", "settings_not_utf8"},
        {"trailing comma", "{\"version\": 2,\n \"server\": {\"port\": 1,}}", "remove the comma", 2, 23,
         R"("server"."port")"},
        {"comment", "{\"version\": 2, // the version\n}", "JSON allows no comments", 1, 16, R"("version")"},
        {"cut short", "{\"version\": 2, \"server\": {\"hostname\": \"srv", "ends too early", 1, 42,
         R"("server"."hostname")"},
        // The library refuses it with an error of its own, which has no place.
        {"a number beyond a double", "{\"version\": 2, \"server\": {\"port\": 1e999}}", "a number too large", 1,
         35, R"("server"."port")"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempModuleDirectory dir;
        dir.Write(kSettingsFile, c.text);
        TranslatorSettings settings;
        const SettingsInspection inspection = InspectSettingsJson(SettingsPath(), settings);
        EXPECT_EQ(inspection.outcome, SettingsInspection::Outcome::NotJson);
        EXPECT_NE(inspection.problem.find(c.saying), std::string::npos) << inspection.problem;
        EXPECT_EQ(inspection.line, c.line);
        EXPECT_EQ(inspection.column, c.column);
        EXPECT_EQ(inspection.member, c.member);
        EXPECT_STREQ(inspection.reason, c.reason.c_str());

        // At start the bootstrap log gives the same reason before it says the file cannot be used.
        EXPECT_FALSE(LoadSettingsFile(settings));
        const auto messages = BootstrapMessages(dir);
        ASSERT_EQ(messages.size(), 2u);
        EXPECT_EQ(messages[0], "Settings file at '" + SettingsPath() + "' could not be loaded: " + inspection.problem);
        EXPECT_EQ(dir.Read(kSettingsFile), c.text);
    }
}

// Explorer hides the ending: the file the operator saved is named
// "tallyport_settings.json.txt". Defaults written beside it would hide it.
TEST(SettingsFile, ASettingsFileSavedWithATxtEndingIsNamedAndNoDefaultsAreWritten) {
    TempModuleDirectory dir;
    dir.Write("tallyport_settings.json.txt", R"({"version": 2})");
    TranslatorSettings settings;
    EXPECT_FALSE(LoadSettingsFile(settings));
    EXPECT_FALSE(dir.Exists(kSettingsFile));
    ASSERT_EQ(BootstrapMessages(dir).size(), 1u);
    EXPECT_NE(BootstrapMessages(dir)[0].find("rename it to tallyport_settings.json"), std::string::npos);

    const SettingsInspection inspection = InspectSettingsJson(SettingsPath(), settings);
    EXPECT_EQ(inspection.outcome, SettingsInspection::Outcome::Missing);
    EXPECT_NE(inspection.problem.find("tallyport_settings.json.txt"), std::string::npos);
}
