// The product's log under real threads: its batching (LogBatch) and its file
// (LogFile), over the lane's Win32 file calls. Built into the
// ThreadSanitizer program only: the sanitized build counts lines instead of
// writing them (support/NativeLog.cpp).

#include "logging/Log.h"
#include "settings/TranslatorSettings.h"
#include "tests/support/ManualClock.h"
#include "tests/support/TempModuleDirectory.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

constexpr int kThreads = 4;

std::string ReadAll(const std::filesystem::path& path) {
    std::string bytes(std::filesystem::file_size(path), '\0');
    std::ifstream(path, std::ios::binary).read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return bytes;
}

}  // namespace

// Host threads log, half of them in batches of ten lines with a warning among
// them (written at once, with the lines before it), while the file fills and
// rotates, the writer opens it again by its name, a log shipper renames the
// live file away once, and the settings are applied again (which lets go of
// the file). Afterwards every line is in
// exactly one file, whole, and each thread's lines keep their order within a
// file.
TEST(LogConcurrencyTest, EveryLineLandsOnceAndWholeWhileTheLogRotates) {
    tly::test::TempModuleDirectory dir;
    tly::test::ManualClock clock;  // the writer opens the file again by its name when the test moves it
    TranslatorSettings settings;
    settings.log_level = "debug";
    settings.max_log_size_mb = 1;
    settings.max_log_files = 50;  // nothing is deleted: every line stays somewhere
    ApplyLoggingSettings(settings);

    constexpr int kLines = 300;  // about 2.5 MB in all: a rotation at least
    constexpr int kLinesPerStep = 200;
    const std::string padding(2000, 'p');
    std::atomic<int> logged{0};
    std::atomic<int> finished{0};
    std::thread outside([&] {
        int step = 0;
        for (int next = kLinesPerStep; finished.load() < kThreads; std::this_thread::yield()) {
            if (logged.load() < next) continue;
            next += kLinesPerStep;
            clock.Advance(1000);
            if (++step == 2) {
                std::error_code ignored;  // rotation may have just moved it
                std::filesystem::rename(std::filesystem::path(dir.Path()) / "tly_translator.log",
                                        std::filesystem::path(dir.Path()) / "shipped.log", ignored);
            } else if (step % 2 == 1) {
                ApplyLoggingSettings(settings);
            }
        }
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([&, t] {
            for (int n = 0; n < kLines;) {
                const bool batched = t % 2 == 0;
                std::optional<LogBatch> batch;
                if (batched) batch.emplace();
                for (int k = 0; k < 10 && n < kLines; ++k, ++n) {
                    const LogLevel level = k == 6 ? LogLevel::Warn : LogLevel::Debug;
                    LogEvent(level, "test", "line", {}, {{"thread", t}, {"n", n}, {"pad", padding}});
                    ++logged;
                }
            }
            ++finished;
        });
    }
    for (std::thread& writer : writers) writer.join();
    outside.join();
    ResetLoggingForTesting();

    const std::string padField = R"("pad":")" + padding + R"(",)";
    std::map<std::pair<int, int>, int> seen;  // (thread, n) -> times found
    for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
        const std::string text = ReadAll(entry.path());
        std::vector<int> last(kThreads, -1);
        std::size_t at = 0;
        while (at < text.size()) {
            const std::size_t end = text.find("\r\n", at);
            ASSERT_NE(end, std::string::npos) << entry.path() << ": a line cut short";
            std::string whole = text.substr(at, end - at);
            at = end + 2;
            // The padding is compared in place, so only the rest is parsed.
            const std::size_t pad = whole.find(padField);
            if (pad != std::string::npos) whole.replace(pad, padField.size(), R"("pad":"",)");
            const nlohmann::json line = nlohmann::json::parse(whole, nullptr, false);
            ASSERT_FALSE(line.is_discarded()) << entry.path() << ": " << whole.substr(0, 200);
            if (line.value("event", "") != "line") continue;
            const nlohmann::json& fields = line.at("fields");
            const int t = fields.at("thread").get<int>();
            const int n = fields.at("n").get<int>();
            ASSERT_TRUE(t >= 0 && t < kThreads);
            EXPECT_GT(n, last[t]) << entry.path() << ": thread " << t << " out of order";
            last[t] = n;
            EXPECT_NE(pad, std::string::npos) << "thread " << t << " line " << n << " is whole";
            ++seen[{t, n}];
        }
    }
    EXPECT_TRUE(dir.Exists("tly_translator.1.log")) << "the log rotated";
    for (int t = 0; t < kThreads; ++t) {
        for (int n = 0; n < kLines; ++n) {
            const auto found = seen.find({t, n});
            EXPECT_EQ(found == seen.end() ? 0 : found->second, 1) << "thread " << t << " line " << n;
        }
    }
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(kThreads * kLines));
}
