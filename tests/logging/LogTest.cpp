#include "logging/Log.h"

#include "logging/LogFileOwnership.h"
#include "logging/RepeatedLines.h"
#include "settings/TranslatorSettings.h"
#include "tests/support/LogReader.h"
#include "tests/support/ManualClock.h"
#include "tests/support/TempModuleDirectory.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

using tly::test::LinesWithEvent;
using tly::test::FileExists;
using tly::test::ReadFileBytes;
using tly::test::ReadLogLines;
using tly::test::TempModuleDirectory;
using tly::test::WriteFileBytes;

namespace {

class LogTest : public ::testing::Test {
protected:
    void Apply(const std::string& level, const std::string& fileName = "tly_translator.log", int sizeMb = 10,
               int files = 3) {
        TranslatorSettings settings;
        settings.log_level = level;
        settings.log_file_name = fileName;
        settings.max_log_size_mb = sizeMb;
        settings.max_log_files = files;
        ApplyLoggingSettings(settings);
    }
    std::string LogPath() const { return dir.File("tly_translator.log"); }

    TempModuleDirectory dir;
    tly::test::ManualClock clock;
};

}  // namespace

TEST_F(LogTest, LineHasSortedKeysCompactFormAndCrLf) {
    Apply("trace");
    LogEvent(LogLevel::Warn, "rest_client", "auth_failed", "Käse \"quoted\"",
             {{"status_code", 401}, {"endpoint", "/auth/token"}});

    const std::string bytes = dir.Read("tly_translator.log");
    const std::string pid = std::to_string(static_cast<int>(::GetCurrentProcessId()));
    const std::string tid = std::to_string(static_cast<int>(::GetCurrentThreadId()));
    EXPECT_EQ(bytes,
              "{\"component\":\"rest_client\",\"event\":\"auth_failed\",\"fields\":{\"endpoint\":\"/auth/token\","
              "\"status_code\":401},\"level\":\"warn\",\"message\":\"Käse \\\"quoted\\\"\",\"process_id\":" +
                  pid + ",\"thread_id\":" + tid + ",\"timestamp\":\"2024-03-05T14:07:09.042\"}\r\n");
}

// Keys and values of every kind come out in the bytes the JSON library writes
// for the same object: escapes, numbers, byte-wise key order, later key wins.
TEST_F(LogTest, FieldsAreWrittenAsTheJsonLibraryWritesThem) {
    Apply("info");
    const LogFields fields{{"text", "tab\there \"q\" back\\slash \x7F"},
                           {"utf8", "K\xC3\xA4se"},
                           {"ctl", std::string("\x01\x1f\b", 3)},
                           {"neg", -5},
                           {"big", std::uint64_t{18446744073709551615u}},
                           {"yes", true},
                           {"no", false},
                           {"null", nullptr},
                           {"float", 1.5},
                           {"list", {1, "a"}},
                           {"Zupper", 1},
                           {"key \"q\"", 2},
                           {"k", 1},
                           {"k", "later"}};
    LogEvent(LogLevel::Info, "c", "kinds", "", fields);

    nlohmann::json expected = nlohmann::json::object();
    for (const LogField& field : fields) expected[field.key] = field.value;
    const std::string bytes = dir.Read("tly_translator.log");
    EXPECT_NE(bytes.find(",\"fields\":" + expected.dump() + ",\"level\":"), std::string::npos) << bytes;
}

TEST_F(LogTest, EmptyMessageAndFieldsAreLeftOutAndLaterDuplicateKeyWins) {
    Apply("debug");
    LogEvent(LogLevel::Info, "tly_api", "bare");
    LogEvent(LogLevel::Info, "tly_api", "dup", "", {{"k", 1}, {"k", "second"}});

    auto lines = ReadLogLines(LogPath());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_FALSE(lines[0].contains("message"));
    EXPECT_FALSE(lines[0].contains("fields"));
    EXPECT_EQ(lines[1]["fields"], nlohmann::json({{"k", "second"}}));
}

TEST_F(LogTest, ThresholdFiltersBelowAndWritesAtOrAbove) {
    struct Case {
        const char* level;
        LogLevel written;
        LogLevel filtered;
    };
    for (const Case& c : {Case{"WARNING", LogLevel::Warn, LogLevel::Info}, Case{"error", LogLevel::Error, LogLevel::Warn},
                          Case{"Trace", LogLevel::Trace, LogLevel::Trace}}) {
        ::DeleteFileA(LogPath().c_str());
        Apply(c.level);
        LogEvent(c.filtered, "c", "filtered");
        LogEvent(c.written, "c", "written");
        auto lines = ReadLogLines(LogPath());
        const bool sameLevel = c.written == c.filtered;
        EXPECT_TRUE(IsLogLevelEnabled(c.written)) << c.level;
        EXPECT_EQ(IsLogLevelEnabled(c.filtered), sameLevel) << c.level;
        EXPECT_EQ(lines.size(), sameLevel ? 2u : 1u) << c.level;
        EXPECT_EQ(lines.back()["event"], "written") << c.level;
    }
}

TEST_F(LogTest, NothingIsWrittenWhenLoggingIsOffButBootstrapStillWrites) {
    for (const char* level : {"none", "off", "", "verbose", " info"}) {
        Apply(level);
        LogEvent(LogLevel::Error, "c", "e", "m");
        EXPECT_FALSE(dir.Exists("tly_translator.log")) << "level '" << level << "'";
    }
    BootstrapLog("settings broken");
    auto lines = ReadLogLines(LogPath());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["level"], "error");
    EXPECT_EQ(lines[0]["component"], "settings_bootstrap");
    EXPECT_EQ(lines[0]["event"], "bootstrap.diagnostic");
    EXPECT_EQ(lines[0]["message"], "settings broken");
}

TEST_F(LogTest, InitialThresholdIsNone) {
    LogEvent(LogLevel::Error, "c", "e");
    EXPECT_FALSE(dir.Exists("tly_translator.log"));
    EXPECT_FALSE(IsLogLevelEnabled(LogLevel::Error));
}

TEST_F(LogTest, BootstrapLinesJoinTheOpenMainLog) {
    Apply("info");
    LogEvent(LogLevel::Info, "c", "first");
    BootstrapLog("settings broken");
    LogEvent(LogLevel::Info, "c", "last");
    auto lines = ReadLogLines(LogPath());
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1]["event"], "bootstrap.diagnostic");
    EXPECT_EQ(lines[2]["event"], "last");
}

// A batch's lines wait for its end (an inner batch's end does not write);
// a warning writes at once with everything before it; the order never changes.
TEST_F(LogTest, BatchHoldsLinesUntilItEndsAndAWarningWritesThemAtOnce) {
    Apply("info");
    auto events = [this] {
        std::vector<std::string> names;
        for (const auto& line : ReadLogLines(LogPath())) names.push_back(line["event"]);
        return names;
    };
    {
        const LogBatch batch;
        LogEvent(LogLevel::Info, "c", "held");
        {
            const LogBatch inner;
            LogEvent(LogLevel::Info, "c", "nested");
        }
        EXPECT_TRUE(events().empty());
        LogEvent(LogLevel::Warn, "c", "warned");
        EXPECT_EQ(events(), (std::vector<std::string>{"held", "nested", "warned"}));
        LogEvent(LogLevel::Info, "c", "after");
        std::thread([] { LogEvent(LogLevel::Info, "c", "other_thread"); }).join();
        EXPECT_EQ(events().size(), 5u);  // a line of a thread outside any batch writes the held ones first
        LogEvent(LogLevel::Info, "c", "last");
    }
    EXPECT_EQ(events(), (std::vector<std::string>{"held", "nested", "warned", "after", "other_thread", "last"}));
}

// The bootstrap line is a main log line, CR LF included, in both files. Text
// that is not UTF-8 is replaced rather than the line dropped, and an empty
// message is still written.
TEST_F(LogTest, BootstrapGoesToDefaultLogAndBootstrapFileAsAMainLogLine) {
    Apply("info", "custom.log");
    const std::string pid = std::to_string(static_cast<int>(::GetCurrentProcessId()));
    const std::string tid = std::to_string(static_cast<int>(::GetCurrentThreadId()));
    const std::pair<std::string, std::string> cases[] = {
        {"", R"("")"},
        {"C:\\x \"q\"", R"("C:\\x \"q\"")"},
        {"a\xFF" "b\x01", "\"a\xEF\xBF\xBD" "b\\u0001\""},
    };
    std::string expected;
    for (const auto& [message, written] : cases) {
        BootstrapLog(message);
        expected += "{\"component\":\"settings_bootstrap\",\"event\":\"bootstrap.diagnostic\",\"level\":\"error\","
                    "\"message\":" + written + ",\"process_id\":" + pid + ",\"thread_id\":" + tid +
                    ",\"timestamp\":\"2024-03-05T14:07:09.042\"}\r\n";
    }
    EXPECT_FALSE(dir.Exists("custom.log"));
    EXPECT_EQ(dir.Read("tly_translator.log"), expected);
    EXPECT_EQ(dir.Read("tly_translator_bootstrap.log"), expected);
}

TEST_F(LogTest, InvalidUtf8DropsTheLineOnlyAndTheNextLineIsWritten) {
    Apply("info");
    LogEvent(LogLevel::Info, "c", "bad", std::string("\xC3\x28", 2));
    LogEvent(LogLevel::Info, "c", "good");
    auto lines = ReadLogLines(LogPath());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["event"], "good");
}

TEST_F(LogTest, LevelOutsideTheEnumerationIsNamedInfo) {
    Apply("trace");
    LogEvent(static_cast<LogLevel>(42), "c", "odd");
    EXPECT_EQ(ReadLogLines(LogPath()).at(0)["level"], "info");
    EXPECT_STREQ(LogLevelName(static_cast<LogLevel>(-1)), "info");
}

TEST_F(LogTest, MissingLogDirectoryLosesTheLineSilently) {
    Apply("info", "no\\such\\dir\\x.log");
    LogEvent(LogLevel::Error, "c", "e");  // must simply not crash or throw
    Apply("info");
    LogEvent(LogLevel::Error, "c", "after");
    EXPECT_EQ(ReadLogLines(LogPath()).size(), 1u);
}

// An absolute name is a place of its own, not a name glued onto the DLL's folder.
TEST_F(LogTest, AnAbsoluteFileNameIsUsedAsItStands) {
    TranslatorSettings settings;
    for (const auto& [name, expected] : std::vector<std::pair<std::string, std::string>>{
             {"x.log", dir.File("x.log")},
             {"logs\\x.log", dir.File("logs\\x.log")},
             {"C:\\Logs\\x.log", "C:\\Logs\\x.log"},
             {"c:/Logs/x.log", "c:/Logs/x.log"},
             {"\\\\server\\share\\x.log", "\\\\server\\share\\x.log"}}) {
        settings.log_file_name = name;
        EXPECT_EQ(LogFilePathFor(settings), expected) << name;
    }
    Apply("info", dir.File("elsewhere.log"));
    LogEvent(LogLevel::Info, "c", "absolute");
    EXPECT_EQ(ReadLogLines(dir.File("elsewhere.log")).size(), 1u);
}

// The settings may name any path the host can reach; the log takes only a
// file it cannot harm: a name ending in .log that is missing, empty or holds
// this log. Anything else is refused, the default file beside the settings is
// written instead, and the named file is left as it was, through lines and a
// rotation due at once (1 MB, the file already larger).
TEST_F(LogTest, ANamedFileTheLogCouldHarmIsRefusedForTheDefault) {
    // A folder of its own beside the module's (a second TempModuleDirectory
    // would take the module's place).
    const std::string elsewhere = dir.Path() + "-elsewhere";
    ASSERT_TRUE(::CreateDirectoryA(elsewhere.c_str(), nullptr));
    const auto in = [&](const std::string& name) { return elsewhere + "\\" + name; };
    const std::string foreign = "someone else's file\r\n" + std::string(1048576, 'v');
    const std::string ownLine =
        R"({"component":"c","event":"earlier","level":"info","process_id":1,"thread_id":2,)"
        R"("timestamp":"2024-03-05T14:07:09.042"})" "\r\n";
    struct Case {
        const char* what;
        const char* name;                    // in elsewhere
        std::function<bool(const std::string&)> arrange;  // false: the platform cannot make it (the row is skipped)
        int files;
        const char* refusal;  // "" when the named file is used
    };
    const auto withText = [](const std::string& text) {
        return [text](const std::string& path) {
            WriteFileBytes(path, text);
            return true;
        };
    };
    const auto nothing = [](const std::string&) { return true; };
    const Case cases[] = {
        {"someone else's file, none kept", "victim.log", withText(foreign), 0, "foreign_content"},
        {"someone else's file, three kept", "victim.log", withText(foreign), 3, "foreign_content"},
        {"a name not ending in .log", "victim.txt", withText(foreign), 3, "name_not_log"},
        {"a missing file not ending in .log", "new.txt", nothing, 3, "name_not_log"},
        {"a stream of a file", "victim.txt:x.log", nothing, 3, "name_not_plain"},
        {"a folder", "folder.log", [](const std::string& path) { return ::CreateDirectoryA(path.c_str(), nullptr) != 0; },
         3, "directory"},
        // Wine 8 answers CreateSymbolicLinkW with success and makes nothing, and
        // refuses FSCTL_SET_REPARSE_POINT (error 50): there the row is skipped.
        // On Windows it runs (unprivileged links need developer mode).
        {"a link to someone else's file", "link.log",
         [&](const std::string& path) {
             WriteFileBytes(in("target.txt"), foreign);
             const std::wstring link(path.begin(), path.end());
             const std::wstring target = link.substr(0, link.rfind(L'\\')) + L"\\target.txt";
             ::CreateSymbolicLinkW(link.c_str(), target.c_str(), 0x2 /* allow unprivileged */);
             const DWORD attributes = ::GetFileAttributesA(path.c_str());
             return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
         },
         3, "reparse_point"},
        {"an earlier version's log, in capitals", "own.LOG", withText(ownLine), 3, ""},
        {"a missing file", "new.log", nothing, 3, ""},
        {"an empty file", "empty.log", withText(""), 3, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string named = in(c.name);
        if (!c.arrange(named)) continue;
        const std::string before = FileExists(named) ? ReadFileBytes(named) : std::string();
        TranslatorSettings settings;
        settings.log_level = "info";
        settings.log_file_name = named;
        settings.max_log_size_mb = 1;
        settings.max_log_files = c.files;

        const LogFileChoice choice = ApplyLoggingSettings(settings);
        EXPECT_EQ(choice.refusal, c.refusal);
        EXPECT_EQ(choice.named, named);
        const bool refused = *c.refusal != '\0';
        const std::string inUse = refused ? LogPath() : named;
        EXPECT_EQ(CurrentLogFilePath(), inUse);
        LogEvent(LogLevel::Info, "c", "first");
        clock.Advance(1000);  // the writer opens the file again by its name
        LogEvent(LogLevel::Info, "c", "second");

        EXPECT_EQ(LinesWithEvent(inUse, "second").size(), 1u);
        if (refused) {
            EXPECT_EQ(FileExists(named) ? ReadFileBytes(named) : std::string(), before) << "the named file changed";
            EXPECT_FALSE(FileExists(RotatedLogName(named, 1)));
        } else {
            EXPECT_EQ(ReadFileBytes(named).rfind(before, 0), 0u) << "the earlier lines were not kept";
            EXPECT_EQ(LinesWithEvent(named, "first").size(), 1u);
        }
        ResetLoggingForTesting();
        ::DeleteFileA(LogPath().c_str());
    }
    tly::test::RemoveDirectoryTree(elsewhere);
}

// What tells a line of this log from anything else at the head of a file.
TEST(LogFileOwnershipTest, AFirstLineIsTheLogsOnlyWithEveryMemberEveryLineHas) {
    const std::string line =
        R"({"component":"c","event":"e","fields":{"k":1},"level":"warn","message":"m","process_id":12,)"
        R"("thread_id":34,"timestamp":"2024-03-05T14:07:09.042"})";
    struct Case {
        std::string text;
        bool own;
    };
    const auto without = [&](const std::string& member) {
        nlohmann::json value = nlohmann::json::parse(line);
        value.erase(member);
        return value.dump();
    };
    const auto with = [&](const std::string& member, const nlohmann::json& replacement) {
        nlohmann::json value = nlohmann::json::parse(line);
        value[member] = replacement;
        return value.dump();
    };
    const Case cases[] = {
        {line, true},
        {with("level", "error"), true},
        {with("extra", "an older or newer member"), true},
        {without("component"), false},
        {without("event"), false},
        {without("level"), false},
        {without("timestamp"), false},
        {without("process_id"), false},
        {without("thread_id"), false},
        {with("level", "verbose"), false},
        {with("level", "none"), false},
        {with("timestamp", "2024-03-05 14:07:09"), false},
        {with("process_id", "12"), false},
        {with("event", 5), false},
        {"{}", false},
        {"[" + line + "]", false},
        {line + " trailing", false},
        {"name=value", false},
        {"", false},
    };
    for (const Case& c : cases) EXPECT_EQ(tly::IsLogLineText(c.text), c.own) << c.text;
}

// A failure that goes on: in full once, then a summary a minute, the repeats at
// debug only; news again after a success. A routine line that does not
// change: at info once in ten minutes per key, at debug otherwise.
TEST_F(LogTest, RepeatsAreSummarisedAndUnchangedRoutineLinesThinnedOnTheClock) {
    tly::ResetRepeatedLinesForTesting();
    Apply("debug");
    const auto fail = [] {
        tly::LogRepeatedFailure(LogLevel::Error, "c", "e", "refused", {{"win32_error", 12029}}, "c/e/12029");
    };
    for (int i = 0; i < 7; ++i, clock.Advance(20000)) fail();
    tly::EndRepeatedFailures("c/");
    fail();

    std::vector<std::string> levels;
    for (const auto& line : LinesWithEvent(LogPath(), "e")) levels.push_back(line["level"]);
    EXPECT_EQ(levels, (std::vector<std::string>{"error", "debug", "debug", "debug", "debug", "debug", "debug",
                                                "error"}));
    const auto summaries = LinesWithEvent(LogPath(), "still_failing");
    ASSERT_EQ(summaries.size(), 2u);  // at 60 s and at 120 s
    EXPECT_EQ(summaries[0]["level"], "error");
    EXPECT_EQ(summaries[0]["component"], "c");
    EXPECT_EQ(summaries[0]["fields"]["count"], 4);
    EXPECT_EQ(summaries[1]["fields"]["count"], 7);
    EXPECT_EQ(summaries[0]["fields"]["repeated_event"], "e");
    EXPECT_EQ(summaries[0]["fields"]["win32_error"], 12029);
    EXPECT_EQ(summaries[0]["message"].get<std::string>().rfind("still failing since ", 0), 0u);

    struct Routine {
        int panel;
        const char* state;
        int advanceMs;
        const char* level;
    };
    const Routine routine[] = {
        {1, "a", 0, "info"},  {1, "a", 10000, "debug"}, {2, "a", 0, "info"},     // per panel
        {1, "b", 0, "info"},  {1, "b", 599000, "debug"}, {1, "b", 1000, "info"},  // changed, then ten minutes
    };
    for (const Routine& r : routine) {
        clock.Advance(r.advanceMs);
        tly::LogRoutine(LogLevel::Info, "c", "r", "routine", {{"panel_id", r.panel}, {"state", r.state}},
                        "r/" + std::to_string(r.panel));
    }
    const auto lines = LinesWithEvent(LogPath(), "r");
    ASSERT_EQ(lines.size(), std::size(routine));
    for (size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(lines[i]["level"], routine[i].level) << i;
}

TEST(ParseLogLevelTest, AcceptsNamesCaseInsensitivelyWithoutTrimming) {
    struct Case {
        const char* text;
        LogLevel expected;
    };
    for (const Case& c : {Case{"trace", LogLevel::Trace}, Case{"DEBUG", LogLevel::Debug}, Case{"Info", LogLevel::Info},
                          Case{"warn", LogLevel::Warn}, Case{"Warning", LogLevel::Warn}, Case{"error", LogLevel::Error},
                          Case{"none", LogLevel::None}, Case{"OFF", LogLevel::None}, Case{" info", LogLevel::Debug},
                          Case{"verbose", LogLevel::Debug}, Case{"", LogLevel::Debug}}) {
        EXPECT_EQ(ParseLogLevel(c.text, LogLevel::Debug), c.expected) << "'" << c.text << "'";
    }
}

TEST(RotatedLogNameTest, NumberGoesBeforeTheLastDot) {
    EXPECT_EQ(RotatedLogName("C:\\m\\tly_translator.log", 1), "C:\\m\\tly_translator.1.log");
    EXPECT_EQ(RotatedLogName("C:\\m\\tly", 2), "C:\\m\\tly.2");
    // The last dot of the whole path counts, even in a directory name.
    EXPECT_EQ(RotatedLogName("C:\\m.d\\tly", 3), "C:\\m.3.d\\tly");
}

TEST(LocalTimestampTest, FormatsWithMillisecondsAndNoZone) {
    tly::test::ManualClock clock;
    clock.SetLocalTime(SYSTEMTIME{2024, 3, 2, 5, 14, 7, 9, 42});
    EXPECT_EQ(LocalTimestamp(), "2024-03-05T14:07:09.042");
}
