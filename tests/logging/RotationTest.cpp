#include "logging/Log.h"

#include "platform/UniqueResource.h"
#include "settings/TranslatorSettings.h"
#include "tests/support/LogReader.h"
#include "tests/support/ManualClock.h"
#include "tests/support/TempModuleDirectory.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

using tly::test::TempModuleDirectory;

namespace {

constexpr size_t kMegabyte = 1048576;

class RotationTest : public ::testing::Test {
protected:
    void Apply(const std::string& fileName, int sizeMb, int files) {
        TranslatorSettings settings;
        settings.log_level = "info";
        settings.log_file_name = fileName;
        settings.max_log_size_mb = sizeMb;
        settings.max_log_files = files;
        ApplyLoggingSettings(settings);
    }
    // A file of this log, bytes long: a line of the log whose event is the
    // marker, then the marker repeated.
    void Fill(const std::string& name, size_t bytes, char marker) {
        std::string text = std::string(R"({"component":"c","event":")") + marker +
                           R"(","level":"info","process_id":1,"thread_id":2,"timestamp":"2024-03-05T14:07:09.042"})"
                           "\r\n";
        if (text.size() < bytes) text.resize(bytes, marker);
        dir.Write(name, text);
    }
    // A 1 MB limit with three numbered files kept, the log at the limit and each numbered file marked.
    void FullLogWithThreeNumberedFiles() {
        Apply("tly_translator.log", 1, 3);
        Fill("tly_translator.log", kMegabyte, 'L');
        Fill("tly_translator.1.log", 10, '1');
        Fill("tly_translator.2.log", 10, '2');
        Fill("tly_translator.3.log", 10, '3');
    }
    // The marker of a file Fill wrote; '\0' for a missing file or one of
    // someone else's.
    char Marker(const std::string& name) const {
        const std::string content = dir.Read(name);
        const size_t event = content.find("\"event\":\"");
        return event == std::string::npos || content[0] != '{' ? '\0' : content[event + 9];
    }

    TempModuleDirectory dir;
    tly::test::ManualClock clock;
};

}  // namespace

TEST_F(RotationTest, FullLogShiftsNumberedFilesAndDropsTheOldest) {
    FullLogWithThreeNumberedFiles();

    LogEvent(LogLevel::Info, "c", "after_rotation");

    EXPECT_EQ(Marker("tly_translator.1.log"), 'L');
    EXPECT_EQ(Marker("tly_translator.2.log"), '1');
    EXPECT_EQ(Marker("tly_translator.3.log"), '2');
    EXPECT_FALSE(dir.Exists("tly_translator.4.log"));
    auto lines = tly::test::ReadLogLines(dir.File("tly_translator.log"));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["event"], "after_rotation");
}

// Lines held in a batch rotate as lines written one by one would: the line
// that crosses the limit stays in the full file, the next starts the new one.
TEST_F(RotationTest, BatchedLinesRotateWhereSingleLinesWould) {
    Apply("tly_translator.log", 1, 3);
    Fill("tly_translator.log", kMegabyte - 10, 'L');
    {
        const LogBatch batch;
        LogEvent(LogLevel::Info, "c", "crosses_the_limit");
        LogEvent(LogLevel::Info, "c", "first_after_rotation");
        LogEvent(LogLevel::Info, "c", "second_after_rotation");
    }
    const std::string full = dir.Read("tly_translator.1.log");
    EXPECT_EQ(Marker("tly_translator.1.log"), 'L');
    EXPECT_NE(full.find("crosses_the_limit"), std::string::npos);
    auto lines = tly::test::ReadLogLines(dir.File("tly_translator.log"));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0]["event"], "first_after_rotation");
    EXPECT_EQ(lines[1]["event"], "second_after_rotation");
}

TEST_F(RotationTest, JustBelowTheLimitDoesNotRotate) {
    Apply("tly_translator.log", 1, 3);
    Fill("tly_translator.log", kMegabyte - 1, 'L');
    LogEvent(LogLevel::Info, "c", "e");
    EXPECT_FALSE(dir.Exists("tly_translator.1.log"));
    EXPECT_GT(dir.Read("tly_translator.log").size(), kMegabyte);
}

// Someone reading the full log through a handle that does not share its
// deletion keeps it from being renamed. The rotation waits for them: the
// numbered files stay as they are, the lines go on into the log, and the
// first line after they let go rotates.
TEST_F(RotationTest, ALogHeldWithoutDeleteSharingWaitsWithTheNumberedFilesKept) {
    FullLogWithThreeNumberedFiles();
    {
        const tly::UniqueFileHandle reader(::CreateFileA(dir.File("tly_translator.log").c_str(), GENERIC_READ,
                                                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                                         FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(reader);
        for (int i = 0; i < 4; ++i) LogEvent(LogLevel::Info, "c", "while_held");
        EXPECT_EQ(Marker("tly_translator.1.log"), '1');
        EXPECT_EQ(Marker("tly_translator.2.log"), '2');
        EXPECT_EQ(Marker("tly_translator.3.log"), '3');
    }
    LogEvent(LogLevel::Info, "c", "after_release");
    EXPECT_EQ(Marker("tly_translator.1.log"), 'L');
    EXPECT_EQ(Marker("tly_translator.2.log"), '1');
    EXPECT_EQ(Marker("tly_translator.3.log"), '2');
    EXPECT_NE(dir.Read("tly_translator.1.log").find("while_held"), std::string::npos);
    const auto lines = tly::test::ReadLogLines(dir.File("tly_translator.log"));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["event"], "after_release");
}

TEST_F(RotationTest, CountZeroDeletesTheFullLog) {
    Apply("tly_translator.log", 1, 0);
    Fill("tly_translator.log", kMegabyte, 'L');
    LogEvent(LogLevel::Info, "c", "fresh");
    EXPECT_FALSE(dir.Exists("tly_translator.1.log"));
    EXPECT_EQ(tly::test::ReadLogLines(dir.File("tly_translator.log")).size(), 1u);
}

TEST_F(RotationTest, NegativeCountKeepsThree) {
    Apply("tly_translator.log", 1, -7);
    for (char marker : {'a', 'b', 'c', 'd', 'e'}) {
        Fill("tly_translator.log", kMegabyte, marker);
        clock.Advance(1000);  // the writer looks at the file again once a second
        LogEvent(LogLevel::Info, "c", "e");
    }
    EXPECT_EQ(Marker("tly_translator.1.log"), 'e');
    EXPECT_EQ(Marker("tly_translator.3.log"), 'c');
    EXPECT_FALSE(dir.Exists("tly_translator.4.log"));
}

TEST_F(RotationTest, SizeZeroOrNegativeNeverRotates) {
    for (int size : {0, -1}) {
        Apply("tly_translator.log", size, 3);
        Fill("tly_translator.log", 2 * kMegabyte, 'L');
        LogEvent(LogLevel::Info, "c", "e");
        EXPECT_FALSE(dir.Exists("tly_translator.1.log")) << size;
    }
}

// A rotation renames and deletes files of this log only. A file of someone
// else's named like a numbered file stays, and so does every number from it
// up; the numbers below it rotate as if fewer were kept. A log replaced by
// someone else's file is not rotated at all.
TEST_F(RotationTest, OnlyFilesOfThisLogAreRenamedOrDeleted) {
    constexpr char kForeign = '#';  // someone else's file
    constexpr char kMissing = '\0';
    struct File {
        const char* name;
        char content;  // a marker of this log's, kForeign or kMissing
    };
    struct Case {
        const char* what;
        int files;
        std::vector<File> before;  // the log itself is full
        std::vector<File> after;   // 'n': a new log with the line written after
    };
    const std::string foreign = "someone else's file\r\n";
    const Case cases[] = {
        {"someone else's file named like the oldest", 3,
         {{"tly_translator.log", 'L'}, {"tly_translator.1.log", '1'}, {"tly_translator.2.log", '2'},
          {"tly_translator.3.log", kForeign}},
         {{"tly_translator.log", 'n'}, {"tly_translator.1.log", 'L'}, {"tly_translator.2.log", '1'},
          {"tly_translator.3.log", kForeign}, {"tly_translator.4.log", kMissing}}},
        {"someone else's file at number 1", 3,
         {{"tly_translator.log", 'L'}, {"tly_translator.1.log", kForeign}, {"tly_translator.2.log", '2'}},
         {{"tly_translator.log", 'n'}, {"tly_translator.1.log", kForeign}, {"tly_translator.2.log", '2'},
          {"tly_translator.3.log", kMissing}}},
        {"a gap below someone else's file", 3,
         {{"tly_translator.log", 'L'}, {"tly_translator.2.log", kForeign}},
         {{"tly_translator.log", 'n'}, {"tly_translator.1.log", 'L'}, {"tly_translator.2.log", kForeign}}},
        {"the log replaced by someone else's file", 3,
         {{"tly_translator.log", kForeign}, {"tly_translator.1.log", '1'}},
         {{"tly_translator.log", kForeign}, {"tly_translator.1.log", '1'}, {"tly_translator.2.log", kMissing}}},
        {"the log replaced by someone else's file, none kept", 0,
         {{"tly_translator.log", kForeign}},
         {{"tly_translator.log", kForeign}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Apply("tly_translator.log", 1, c.files);
        for (const File& file : c.before) {
            const bool log = std::string(file.name) == "tly_translator.log";
            if (file.content == kForeign) {
                dir.Write(file.name, log ? foreign + std::string(kMegabyte, 'x') : foreign);
            } else {
                Fill(file.name, log ? kMegabyte : 10, file.content);
            }
        }
        LogEvent(LogLevel::Info, "c", "new");

        for (const File& file : c.after) {
            SCOPED_TRACE(file.name);
            if (file.content == kMissing) {
                EXPECT_FALSE(dir.Exists(file.name));
            } else if (file.content == kForeign) {
                EXPECT_EQ(dir.Read(file.name).rfind(foreign, 0), 0u) << "renamed, deleted or replaced";
            } else {
                EXPECT_EQ(Marker(file.name), file.content);
            }
        }
        ResetLoggingForTesting();
        for (const char* name : {"tly_translator.log", "tly_translator.1.log", "tly_translator.2.log",
                                 "tly_translator.3.log", "tly_translator.4.log"}) {
            ::DeleteFileA(dir.File(name).c_str());
        }
    }
}

TEST_F(RotationTest, ConcurrentWritersNeverInterleaveLines) {
    Apply("tly_translator.log", 1, 2);
    constexpr int kThreads = 4;
    constexpr int kLinesPerThread = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            // About 5 MB in all, more than three files of 1 MB keep: the open file is
            // rotated while others wait to write.
            for (int i = 0; i < kLinesPerThread; ++i) {
                LogEvent(LogLevel::Info, "c", "line", std::string(4000, 'x'), {{"t", t}, {"i", i}});
            }
        });
    }
    for (auto& thread : threads) thread.join();

    size_t total = 0;
    for (const char* name : {"tly_translator.log", "tly_translator.1.log", "tly_translator.2.log"}) {
        if (dir.Exists(name)) total += tly::test::ReadLogLines(dir.File(name)).size();  // every line parses
    }
    EXPECT_GT(total, 0u);
    EXPECT_LT(total, static_cast<size_t>(kThreads * kLinesPerThread));  // the oldest were rotated away
}

// The log stays open between lines, shared so that operators can rename or
// delete it; within a second the writer notices and starts a new file.
TEST_F(RotationTest, RenamedDeletedOrReplacedLogIsLeftForANewOne) {
    const std::string log = dir.File("tly_translator.log");
    const std::string moved = dir.File("kept.log");
    struct Case {
        const char* what;
        bool (*act)(const std::string& log, const std::string& moved);
    };
    for (const Case& c : {Case{"renamed", [](const std::string& l, const std::string& m) {
                                   return ::MoveFileA(l.c_str(), m.c_str()) != 0;
                               }},
                          Case{"deleted", [](const std::string& l, const std::string&) {
                                   return ::DeleteFileA(l.c_str()) != 0;
                               }},
                          Case{"replaced", [](const std::string& l, const std::string& m) {
                                   if (!::MoveFileA(l.c_str(), m.c_str())) return false;
                                   tly::test::WriteFileBytes(l, "");
                                   return true;
                               }}}) {
        Apply("tly_translator.log", 1, 3);
        LogEvent(LogLevel::Info, "c", "before");
        ASSERT_TRUE(c.act(log, moved)) << c.what << ": error " << ::GetLastError();
        clock.Advance(1000);
        LogEvent(LogLevel::Info, "c", "after");

        const auto lines = tly::test::ReadLogLines(log);
        ASSERT_EQ(lines.size(), 1u) << c.what;
        EXPECT_EQ(lines[0]["event"], "after") << c.what;
        if (dir.Exists("kept.log")) {
            EXPECT_EQ(tly::test::ReadLogLines(moved).size(), 1u) << c.what << ": the moved file got no later line";
        }
        ResetLoggingForTesting();
        ::DeleteFileA(log.c_str());
        ::DeleteFileA(moved.c_str());
    }
}
