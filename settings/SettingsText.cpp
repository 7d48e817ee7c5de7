// The text of the settings file read into a record, and a record written as text.
#include "settings/SettingsText.h"

#include "platform/JsonDocument.h"
#include "settings/SettingsDocument.h"
#include "settings/SettingsMistakes.h"

namespace {

using nlohmann::json;
using Outcome = SettingsInspection::Outcome;

constexpr char kLogLevelsExample[] = "none | error | warn | info | debug | trace";

void SetProblem(SettingsInspection& result, Outcome outcome, SettingsProblem problem) {
    result.outcome = outcome;
    result.problem = std::move(problem.text);
    result.line = problem.line;
    result.column = problem.column;
    result.member = std::move(problem.member);
    result.reason = problem.reason;
}

}  // namespace

SettingsInspection ReadSettingsText(const std::string& text, TranslatorSettings& settings, bool readPastSecret) {
    SettingsInspection result;
    if (SettingsProblem unusable = DescribeUnusableText(text); !unusable.text.empty()) {
        SetProblem(result, Outcome::NotJson, std::move(unusable));
        return result;
    }
    json document;
    try {
        document = tly::ParseJson(text);
    } catch (const json::parse_error& e) {
        SetProblem(result, Outcome::NotJson, DescribeSyntaxError(text, e.byte));
        return result;
    } catch (const json::out_of_range&) {
        // The library's one refusal that is not a parse error: a number too large.
        SetProblem(result, Outcome::NotJson, DescribeNumberOverflow(text));
        return result;
    }
    const DocumentRead read = ReadSettingsDocument(document, settings, result.secret, readPastSecret);
    if (read == DocumentRead::OldVersion) {
        result.outcome = Outcome::OldVersion;
        result.problem = "member \"version\" must be 2 or more";
        result.member = "\"version\"";
        return result;
    }
    result.findings = ReviewSettingsDocument(document, text);
    if (read == DocumentRead::SecretUndecryptable && !readPastSecret) {
        result.outcome = Outcome::Unreadable;
        result.problem = "member \"server\".\"client_secret\" cannot be decrypted by this Windows account";
        result.member = "\"server\".\"client_secret\"";
        return result;
    }
    result.outcome = Outcome::Loaded;
    return result;
}

std::string SettingsDocumentText(const json& document) { return document.dump(2); }

std::string WrittenSettingsText(const TranslatorSettings& settings) {
    json server = json::object();
    server["hostname"] = settings.hostname;
    server["port"] = settings.port;
    server["client_id"] = settings.client_id;
    server["client_secret"] = settings.client_secret;
    server["validate_cert"] = settings.validate_cert;

    json logging = json::object();
    logging["_log_levels_example"] = kLogLevelsExample;
    logging["level"] = settings.log_level;
    logging["file_name"] = settings.log_file_name;
    logging["max_log_size_mb"] = settings.max_log_size_mb;
    logging["max_log_files"] = settings.max_log_files;

    json document = json::object();
    document["version"] = 2;
    document["server"] = std::move(server);
    document["logging"] = std::move(logging);
    return SettingsDocumentText(document);
}
