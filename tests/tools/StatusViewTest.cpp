// tallyport-check --status's reading of the status files: live or stale, and
// any damaged, half-written or foreign file read without a crash, as a reason.

#include "tools/tallyport-check/StatusView.h"
#include "platform/CivilTime.h"
#include "tests/support/TempModuleDirectory.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace tly::test {
namespace {

constexpr std::int64_t kHeartbeat = 1709388429;  // 2024-03-02T14:07:09Z

StatusReport SampleReport() {
    StatusReport report;
    report.process = {"1.0.0", "2024-03-02T13:00:00Z", 4242, "loaded", "", 65536, "2024-03-02T14:07:09Z"};
    PanelStatus panel;
    panel.panelId = 1;
    panel.link = "down";
    panel.linkSince = "2024-03-02T14:05:00Z";
    panel.lastLossCause = "connection_refused";
    panel.lastLossCauseText = "connection refused";
    panel.lastLossAt = "2024-03-02T14:05:00Z";
    panel.lastActivityId = 4711;
    panel.lastActivityAt = "2024-03-02T14:04:00Z";
    panel.deliveredToday = 12;
    panel.markedToday = 11;
    panel.refused = 1;
    panel.takenUnmarked = 1;
    panel.lastStatusRequest = "2024-03-02T14:07:08Z";
    report.panels.push_back(panel);
    return report;
}

bool Alive(std::uint32_t) { return true; }
bool Gone(std::uint32_t) { return false; }

TEST(StatusView, LiveOrStaleByTheProcessAndTheHeartbeat) {
    const std::string text = RenderStatus(SampleReport());
    struct Case {
        const char* what;
        std::int64_t now;
        bool (*alive)(std::uint32_t);
        bool stale;
        const char* why;
    };
    for (const Case& c : std::vector<Case>{
             {"fresh", kHeartbeat + 1, Alive, false, ""},
             {"thirty seconds is still live", kHeartbeat + 30, Alive, false, ""},
             {"a heartbeat past thirty seconds", kHeartbeat + 31, Alive, true, "heartbeat 31 s old"},
             {"the process is gone", kHeartbeat + 1, Gone, true, "process gone"},
             {"a clock set back is not stale", kHeartbeat - 3600, Alive, false, ""},
         }) {
        SCOPED_TRACE(c.what);
        const StatusEntry entry = JudgeStatus("tly_status_4242.json", text, c.now, c.alive);
        EXPECT_TRUE(entry.readable) << entry.problem;
        EXPECT_EQ(entry.stale, c.stale);
        EXPECT_EQ(entry.staleWhy, c.why);
        EXPECT_EQ(entry.report, SampleReport()) << "read back as written";
    }
}

TEST(StatusView, ADamagedFileIsAReasonNeverACrash) {
    const std::string good = RenderStatus(SampleReport());
    // Every cut of a file, as a reader meeting a writer that is not this
    // system's rename would see it.
    for (std::size_t length = 0; length < good.size() - 2; ++length) {
        const StatusEntry entry = JudgeStatus("tly_status_4242.json", good.substr(0, length), kHeartbeat, Alive);
        EXPECT_FALSE(entry.readable) << length;
        EXPECT_TRUE(entry.stale) << length;
        EXPECT_FALSE(entry.problem.empty()) << length;
    }
    nlohmann::json document = nlohmann::json::parse(good);
    struct Damage {
        const char* what;
        std::function<void(nlohmann::json&)> apply;
    };
    for (const Damage& damage : std::vector<Damage>{
             {"a later format", [](nlohmann::json& d) { d["format"] = 2; }},
             {"no process", [](nlohmann::json& d) { d.erase("process"); }},
             {"panels not a list", [](nlohmann::json& d) { d["panels"] = "x"; }},
             {"a panel not an object", [](nlohmann::json& d) { d["panels"] = {1}; }},
             {"a negative count", [](nlohmann::json& d) { d["panels"][0]["delivered_today"] = -1; }},
             {"a count too large", [](nlohmann::json& d) { d["panels"][0]["refused"] = 1e12; }},
             {"a count as text", [](nlohmann::json& d) { d["panels"][0]["held_back"] = "3"; }},
             {"a missing count", [](nlohmann::json& d) { d["panels"][0].erase("marked_today"); }},
             {"a text as a number", [](nlohmann::json& d) { d["panels"][0]["link"] = 5; }},
             {"a negative journal", [](nlohmann::json& d) { d["process"]["journal_bytes"] = -5; }},
             {"not an object", [](nlohmann::json& d) { d = nlohmann::json::array(); }},
         }) {
        SCOPED_TRACE(damage.what);
        nlohmann::json damaged = document;
        damage.apply(damaged);
        const StatusEntry entry = JudgeStatus("tly_status_4242.json", damaged.dump(), kHeartbeat, Alive);
        EXPECT_FALSE(entry.readable);
        EXPECT_TRUE(entry.stale);
        EXPECT_FALSE(entry.problem.empty());
    }
    EXPECT_FALSE(JudgeStatus("tly_status_4242.json", std::string("\xff\xfe\0\x01", 4), kHeartbeat, Alive).readable);
    // A damaged file whose process is gone says so: the name gives the process.
    EXPECT_EQ(JudgeStatus("tly_status_4242.json", "{", kHeartbeat, Gone).staleWhy, "process gone");
    EXPECT_EQ(JudgeStatus("tly_status_x.json", "{", kHeartbeat, Gone).staleWhy, "unreadable");
}

TEST(StatusView, TheFolderReadAsATableAndAsJson) {
    TempModuleDirectory folder;
    StatusReport gone = SampleReport();
    gone.process.processId = 17;
    folder.Write("tly_status_4242.json", RenderStatus(SampleReport()));
    folder.Write("tly_status_17.json", RenderStatus(gone));
    folder.Write("tly_status_99.json", "{\"format\":1,");
    folder.Write("tly_translator.log", "not a status");
    const auto alive = [](std::uint32_t id) { return id != 17; };
    const std::vector<StatusEntry> entries = ReadStatuses(folder.Path(), kHeartbeat + 5, alive);
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].file, "tly_status_17.json");
    EXPECT_EQ(entries[0].staleWhy, "process gone");
    EXPECT_FALSE(entries[1].stale);
    EXPECT_FALSE(entries[2].readable);
    EXPECT_FALSE(AllLive(entries));
    EXPECT_TRUE(AllLive({entries[1]}));
    EXPECT_FALSE(AllLive({})) << "no status is no live translator";

    const std::string table = StatusTable(entries, folder.Path());
    EXPECT_NE(table.find("process 17, started 2024-03-02T13:00:00Z: STALE (process gone)"), std::string::npos) << table;
    EXPECT_NE(table.find("process 4242, started 2024-03-02T13:00:00Z: live"), std::string::npos) << table;
    EXPECT_NE(table.find("tly_status_99.json: STALE (unreadable)"), std::string::npos) << table;
    EXPECT_NE(table.find("panel 1 last lost 2024-03-02T14:05:00Z: connection_refused (connection refused)"),
              std::string::npos)
        << table;
    EXPECT_NE(StatusTable({}, "C:\\data").find("No translator process"), std::string::npos);

    const nlohmann::json json = nlohmann::json::parse(StatusJson(entries, folder.Path()));
    ASSERT_EQ(json["processes"].size(), 3u);
    EXPECT_EQ(json["processes"][0]["stale"], true);
    EXPECT_EQ(json["processes"][0]["stale_reason"], "process gone");
    EXPECT_EQ(json["processes"][1]["stale"], false);
    EXPECT_TRUE(json["processes"][1]["stale_reason"].is_null());
    EXPECT_EQ(json["processes"][1]["status"]["panels"][0]["link"], "down");
    EXPECT_EQ(json["processes"][1]["status"]["panels"][0]["link_since"], "2024-03-02T14:05:00Z");
    EXPECT_TRUE(json["processes"][2]["problem"].is_string());
}

}  // namespace
}  // namespace tly::test
