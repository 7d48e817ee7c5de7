#include "tools/tallyport-check/CheckReport.h"

#include <algorithm>

namespace {

constexpr char kConcealed[] = "********";

const char* VerdictName(Verdict verdict) {
    switch (verdict) {
        case Verdict::Pass: return "pass";
        case Verdict::Fail: return "fail";
        case Verdict::Skip: return "skip";
        case Verdict::Warn: return "warn";
    }
    return "fail";
}

const char* VerdictLabel(Verdict verdict) {
    switch (verdict) {
        case Verdict::Pass: return "PASS";
        case Verdict::Fail: return "FAIL";
        case Verdict::Skip: return "skip";
        case Verdict::Warn: return "WARN";
    }
    return "FAIL";
}

void ConcealIn(std::string& text, const std::string& secret) {
    if (secret.empty()) return;
    for (std::size_t at = text.find(secret); at != std::string::npos; at = text.find(secret, at)) {
        text.replace(at, secret.size(), kConcealed);
        at += sizeof kConcealed - 1;
    }
}

void ConcealIn(nlohmann::json& value, const std::string& secret) {
    if (value.is_string()) {
        ConcealIn(value.get_ref<std::string&>(), secret);
    } else if (value.is_structured()) {
        for (auto& element : value) ConcealIn(element, secret);
    }
}

}  // namespace

std::string Counted(std::size_t count, const std::string& noun) {
    return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

StepResult StepResult::Passed(std::string step, std::string detail) {
    StepResult result;
    result.step = std::move(step);
    result.detail = std::move(detail);
    return result;
}

StepResult StepResult::Failed(std::string step, std::string reason, std::string detail, std::string hint) {
    StepResult result;
    result.step = std::move(step);
    result.verdict = Verdict::Fail;
    result.reason = std::move(reason);
    result.detail = std::move(detail);
    result.hint = std::move(hint);
    return result;
}

StepResult StepResult::Warned(std::string step, std::string reason, std::string detail, std::string hint) {
    StepResult result = Failed(std::move(step), std::move(reason), std::move(detail), std::move(hint));
    result.verdict = Verdict::Warn;
    return result;
}

StepResult StepResult::Skipped(std::string step, const std::string& needs) {
    StepResult result;
    result.step = std::move(step);
    result.verdict = Verdict::Skip;
    result.reason = "needs_" + needs;
    result.detail = "not checked: the " + needs + " step did not pass";
    return result;
}

void CheckReport::Conceal(const std::string& secret) { secret_ = secret; }

void CheckReport::SetContext(const std::string& key, nlohmann::json value) { context_[key] = std::move(value); }

void CheckReport::Add(StepResult result) {
    ConcealIn(result.detail, secret_);
    ConcealIn(result.hint, secret_);
    for (std::string& line : result.listing) ConcealIn(line, secret_);
    ConcealIn(result.data, secret_);
    steps_.push_back(std::move(result));
}

bool CheckReport::Passed(const std::string& step) const {
    return std::any_of(steps_.begin(), steps_.end(),
                       [&](const StepResult& r) {
        return r.step == step && (r.verdict == Verdict::Pass || r.verdict == Verdict::Warn);
    });
}

const StepResult* CheckReport::Find(const std::string& step) const {
    const auto found =
        std::find_if(steps_.begin(), steps_.end(), [&](const StepResult& r) { return r.step == step; });
    return found == steps_.end() ? nullptr : &*found;
}

bool CheckReport::AllPassed() const {
    return std::all_of(steps_.begin(), steps_.end(),
                       [](const StepResult& r) { return r.verdict == Verdict::Pass || r.verdict == Verdict::Warn; });
}

std::string CheckReport::Text() const {
    std::size_t width = 0;
    for (const StepResult& r : steps_) width = std::max(width, r.step.size());

    std::string text;
    for (const StepResult& r : steps_) {
        text += std::string(VerdictLabel(r.verdict)) + "  " + r.step + std::string(width - r.step.size() + 2, ' ') +
                r.detail + "\n";
        const std::string indent(width + 8, ' ');
        for (const std::string& line : r.listing) text += indent + line + "\n";
        if (!r.hint.empty()) text += indent + "hint: " + r.hint + "\n";
    }
    const auto failed = std::count_if(steps_.begin(), steps_.end(),
                                      [](const StepResult& r) { return r.verdict == Verdict::Fail; });
    const auto warned = std::count_if(steps_.begin(), steps_.end(),
                                      [](const StepResult& r) { return r.verdict == Verdict::Warn; });
    const std::string warnings =
        warned == 0 ? "" : std::to_string(warned) + (warned == 1 ? " warning" : " warnings");
    if (failed > 0) {
        text += std::to_string(failed) + (failed == 1 ? " step failed" : " steps failed") +
                (warnings.empty() ? "" : ", " + warnings) + ".\n";
    } else {
        text += warnings.empty() ? "Every step passed.\n" : "Every step passed, with " + warnings + ".\n";
    }
    return text;
}

std::string CheckReport::Json() const {
    nlohmann::json document = context_;
    nlohmann::json steps = nlohmann::json::array();
    for (const StepResult& r : steps_) {
        nlohmann::json step = {{"step", r.step}, {"verdict", VerdictName(r.verdict)}, {"detail", r.detail}};
        if (!r.reason.empty()) step["reason"] = r.reason;
        if (!r.hint.empty()) step["hint"] = r.hint;
        if (!r.listing.empty()) step["listing"] = r.listing;
        if (!r.data.empty()) step["data"] = r.data;
        steps.push_back(std::move(step));
    }
    document["steps"] = std::move(steps);
    document["passed"] = AllPassed();
    document["warnings"] = std::count_if(steps_.begin(), steps_.end(),
                                         [](const StepResult& r) { return r.verdict == Verdict::Warn; });
    return document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}
