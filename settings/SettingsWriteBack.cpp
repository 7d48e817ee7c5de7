// "tallyport_settings.json" written: a whole file from a settings record, or
// one member of its "server" object set in place while the rest is kept.
#include "settings/SettingsFile.h"

#include "logging/Log.h"
#include "platform/FileAccess.h"
#include "platform/JsonDocument.h"
#include "settings/SettingsDocument.h"

#include <nlohmann/json.hpp>

#include <cstdint>

namespace {

using nlohmann::json;

// A rewrite may make the file at most this many times its size, plus slack.
constexpr std::size_t kMostRewriteGrowth = 8;
constexpr std::size_t kRewriteSlackBytes = 64 * 1024;

std::string ErrorSuffix(std::uint32_t code) { return " (error=" + std::to_string(code) + ")"; }

// Every Windows call that failed while the file was written, those the write
// found a way around included (a refused replace before a rewrite in place).
void ReportFailedSteps(const std::string& path, const FileReplaceResult& result) {
    for (const FileStepFailure& step : result.failedSteps) {
        BootstrapLog("Writing settings file at '" + path + "': " + step.call + " on '" + step.path + "' failed" +
                     ErrorSuffix(step.win32Error));
    }
}

}  // namespace

bool WriteSettingsJson(const std::string& path, const TranslatorSettings& settings) {
    std::string text;
    try {
        text = WrittenSettingsText(settings);
    } catch (const std::exception&) {
        // A value that is not valid UTF-8 cannot be written as JSON; no Windows
        // call failed, hence error 0.
        BootstrapLog("Failed to write JSON settings file at '" + path + "'" + ErrorSuffix(0));
        return false;
    }

    const FileReplaceResult result = ReplaceFileContents(path, text);
    ReportFailedSteps(path, result);
    if (result.failure == FileReplaceResult::Failure::Create) {
        BootstrapLog("Failed to create JSON settings file at '" + path + "'" + ErrorSuffix(result.win32Error));
        return false;
    }
    if (result.failure == FileReplaceResult::Failure::Write) {
        BootstrapLog("Failed to write JSON settings file at '" + path + "'" + ErrorSuffix(result.win32Error));
        return false;
    }
    return true;
}

namespace {

constexpr int kRewriteAttempts = 20;

enum class Attempt { Done, Again };

// One read, decision and compare-and-swap write.
Attempt TryRewrite(const std::string& path, const std::string& key, const ServerFieldDecision& decide,
                   FieldUpdate& outcome) {
    outcome = FieldUpdate::Failed;
    json document;
    std::string text;
    try {
        if (!ReadFileBetweenWrites(path, text)) return Attempt::Done;
        document = tly::ParseJsonOrDiscard(text);
        if (document.is_discarded()) return Attempt::Done;
    } catch (const std::exception&) {
        return Attempt::Done;
    }

    try {
        const auto server = document.is_object() ? document.find("server") : document.end();
        if (server == document.end() || !server->is_object()) {
            BootstrapLog("Settings JSON has unexpected structure — cannot update field '" + key + "'");
            return Attempt::Done;
        }
        TranslatorSettings fileSettings;
        const TranslatorSettings* loaded = nullptr;
        try {
            SettingsInspection::Secret ignored = SettingsInspection::Secret::Empty;
            if (ReadSettingsDocument(document, fileSettings, ignored, false) == DocumentRead::Loaded) {
                loaded = &fileSettings;
            }
        } catch (const SettingsTypeError&) {
        }
        const std::optional<std::string> value = decide(loaded);
        const auto current = server->find(key);
        if (!value ||
            (current != server->end() && current->is_string() && current->get_ref<const std::string&>() == *value)) {
            outcome = FieldUpdate::Unchanged;
            return Attempt::Done;
        }
        (*server)[key] = *value;
        const std::string rewritten = SettingsDocumentText(document);
        // Indenting a compact file grows it, within reason; a file whose
        // members are built to blow up under indentation is left as it is.
        if (rewritten.size() > kMostRewriteGrowth * text.size() + value->size() + kRewriteSlackBytes) {
            BootstrapLog("Settings JSON would grow from " + std::to_string(text.size()) + " to " +
                         std::to_string(rewritten.size()) + " bytes when rewritten — cannot update field '" + key +
                         "'");
            return Attempt::Done;
        }
        const FileReplaceResult result = ReplaceFileContentsIfUnchanged(path, text, rewritten);
        if (result.failure == FileReplaceResult::Failure::Changed) return Attempt::Again;
        ReportFailedSteps(path, result);
        if (result) outcome = FieldUpdate::Written;
        return Attempt::Done;
    } catch (const std::exception&) {
        BootstrapLog("Failed to update field '" + key + "' in settings JSON");
        return Attempt::Done;
    }
}

}  // namespace

FieldUpdate RewriteServerField(const std::string& path, const std::string& key, const ServerFieldDecision& decide) {
    for (int attempt = 0; attempt < kRewriteAttempts; ++attempt) {
        FieldUpdate outcome = FieldUpdate::Failed;
        if (TryRewrite(path, key, decide, outcome) == Attempt::Done) return outcome;
    }
    return FieldUpdate::Superseded;
}

FieldUpdate UpdateServerFieldIfChanged(const std::string& path, const std::string& key, const std::string& value) {
    return RewriteServerField(path, key, [&](const TranslatorSettings*) { return std::optional<std::string>(value); });
}

