#pragma once
// What the check found: one result per step, printed as lines for a person or
// as one JSON object for a script. Text the report must never show (the client
// secret) is concealed in every result as it is added.

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

// A warning passes (the steps standing on it run, the exit code stays 0) but
// names something the operator should change.
enum class Verdict { Pass, Fail, Skip, Warn };

struct StepResult {
    std::string step;                  // "settings", "oauth", ...
    Verdict verdict = Verdict::Pass;
    std::string reason;                // a stable identifier of a failure, warning or skip; empty on a pass
    std::string detail;                // what was found, one line
    std::string hint;                  // what to do about a failure or warning, one line
    std::vector<std::string> listing;  // further lines: a panel's readers, type library mismatches
    nlohmann::json data = nlohmann::json::object();  // the facts behind the detail, for --json

    static StepResult Passed(std::string step, std::string detail);
    static StepResult Failed(std::string step, std::string reason, std::string detail, std::string hint);
    static StepResult Warned(std::string step, std::string reason, std::string detail, std::string hint);
    // A step that cannot run because an earlier one failed.
    static StepResult Skipped(std::string step, const std::string& needs);
};

// "1 reader", "2 readers".
std::string Counted(std::size_t count, const std::string& noun);

class CheckReport {
public:
    // Replaced by asterisks wherever it appears in a later result.
    void Conceal(const std::string& secret);
    // A fact about the whole run (the tool's version, the settings path).
    void SetContext(const std::string& key, nlohmann::json value);

    void Add(StepResult result);
    // Passed, with or without a warning.
    bool Passed(const std::string& step) const;
    // The step's result; null when the step did not run.
    const StepResult* Find(const std::string& step) const;
    // No step failed or was skipped; warnings allowed.
    bool AllPassed() const;

    std::string Text() const;
    std::string Json() const;

private:
    std::string secret_;
    nlohmann::json context_ = nlohmann::json::object();
    std::vector<StepResult> steps_;
};
