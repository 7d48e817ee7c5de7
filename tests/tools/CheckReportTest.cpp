// The check's verdicts as the exit code, the text and the JSON give them: a
// warning passes (its dependants run, the run still passes) but is shown.

#include "tools/tallyport-check/CheckReport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tly::test {
namespace {

TEST(CheckReport, AWarningPassesButIsShown) {
    struct Case {
        const char* name;
        std::vector<StepResult> steps;
        bool allPassed;
        const char* summary;
        int warnings;
    };
    const std::vector<Case> cases = {
        {"all passed", {StepResult::Passed("a", "fine"), StepResult::Passed("b", "fine")}, true,
         "Every step passed.\n", 0},
        {"one warning",
         {StepResult::Passed("a", "fine"), StepResult::Warned("status", "clock_skew", "a day ahead", "set the clock")},
         true, "Every step passed, with 1 warning.\n", 1},
        {"a failure and warnings",
         {StepResult::Warned("secret", "secret_stored_in_clear", "plain", "encrypt"),
          StepResult::Failed("tls", "tls_failed", "no session", "check the port"),
          StepResult::Warned("status", "clock_skew", "ahead", "set the clock")},
         false, "1 step failed, 2 warnings.\n", 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CheckReport report;
        for (const StepResult& step : c.steps) report.Add(step);
        EXPECT_EQ(report.AllPassed(), c.allPassed);
        const std::string text = report.Text();
        EXPECT_EQ(text.substr(text.rfind('\n', text.size() - 2) + 1), c.summary) << text;
        const nlohmann::json json = nlohmann::json::parse(report.Json());
        EXPECT_EQ(json["passed"], c.allPassed);
        EXPECT_EQ(json["warnings"], c.warnings);
    }

    CheckReport report;
    report.Add(StepResult::Warned("status", "clock_skew", "the server's clock is 1 d ahead", "set the clock"));
    EXPECT_TRUE(report.Passed("status")) << "steps standing on a warned step run";
    EXPECT_NE(report.Text().find("WARN  status  the server's clock is 1 d ahead\n"), std::string::npos) << report.Text();
    EXPECT_NE(report.Text().find("hint: set the clock"), std::string::npos);
    const nlohmann::json step = nlohmann::json::parse(report.Json())["steps"][0];
    EXPECT_EQ(step["verdict"], "warn");
    EXPECT_EQ(step["reason"], "clock_skew");
}

}  // namespace
}  // namespace tly::test
