#include "settings/LoadedSettings.h"

#include "logging/Log.h"
#include "platform/Mutex.h"
#include "settings/SecretProtection.h"

#include <windows.h>

namespace {

// The log folder of the file in force, when logging is on and the folder is
// not there: a finding to add to the document's.
void ReviewLogFolder(const TranslatorSettings& settings, const std::string& path,
                     std::vector<SettingsFinding>& findings) {
    const LogLevel threshold =
        settings.log_level.empty() ? LogLevel::None : ParseLogLevel(settings.log_level, LogLevel::None);
    if (threshold == LogLevel::None) return;
    const std::size_t separator = path.find_last_of("\\/");
    if (separator == std::string::npos || separator == 0) return;
    const std::string folder = path.substr(0, separator);
    if (folder.size() == 2 && folder[1] == ':') return;  // a drive's root
    const DWORD attributes = ::GetFileAttributesA(folder.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return;
    SettingsFinding finding;
    finding.kind = SettingsFinding::Kind::LogFolderMissing;
    finding.member = "\"logging\".\"file_name\"";
    finding.text = "member " + finding.member + " names a file in the folder " + folder +
                   ", which does not exist: nothing is logged until it is created";
    findings.push_back(std::move(finding));
}

// A level that names none keeps the level in force (at the first load, the
// default none) instead of silencing the log; the record takes that level's
// name, so every later use of it agrees. Said as a finding, so it reaches the
// bootstrap log whatever the level.
void KeepKnownLogLevel(TranslatorSettings& settings, std::vector<SettingsFinding>& findings) {
    if (settings.log_level.empty() || IsLogLevelText(settings.log_level)) return;
    const std::string inForce = LogLevelName(CurrentLogLevel());
    SettingsFinding finding;
    finding.kind = SettingsFinding::Kind::LogLevelUnknown;
    finding.member = "\"logging\".\"level\"";
    finding.text = "member " + finding.member + " is \"" + settings.log_level +
                   "\", which is not a level (none, error, warn, info, debug, trace): the level in force stays " +
                   inForce;
    finding.fields = {{"level", settings.log_level}, {"level_in_force", inForce}};
    findings.push_back(std::move(finding));
    settings.log_level = inForce;
}

// A log file the settings name and the log refused, whatever the level: the
// operator learns where the log went instead.
void ReviewLogFile(const LogFileChoice& choice, std::vector<SettingsFinding>& findings) {
    // A name holding a tab is the review's already, with what to write instead.
    if (choice.refusal.empty() || choice.refusal == "control_character") return;
    SettingsFinding finding;
    finding.kind = SettingsFinding::Kind::LogFileRefused;
    finding.member = "\"logging\".\"file_name\"";
    if (choice.path != choice.named) {
        finding.text = "member " + finding.member + " names " + choice.named + ", which the log does not use: " +
                       choice.description + "; the log is written to " + choice.path + " instead";
    } else {
        // The default file itself has nowhere else to go: it is never rotated
        // (nor written, if it is no file) until someone moves it away.
        finding.text = "the log file " + choice.named + " cannot be used as the log: " + choice.description +
                       "; move it away (until then the log is not rotated)";
    }
    finding.fields = {{"log_file", choice.named}, {"log_file_in_use", choice.path}, {"refusal", choice.refusal}};
    findings.push_back(std::move(finding));
}

// Each finding in the structured log at warn or error (component "settings",
// event "settings." + reason), at every load and reload. The bootstrap log gets
// them too, since logging may still be off, but only when they differ from
// what it was last told, so that opening 32 panels does not repeat them.
void ReportSettingsFindings(const std::string& path, const std::vector<SettingsFinding>& findings) {
    std::string all;
    for (const SettingsFinding& finding : findings) {
        LogFields fields{{"path", path}, {"member", finding.member}, {"reason", FindingReason(finding.kind)}};
        if (!finding.suggestion.empty()) fields.emplace_back("did_you_mean", finding.suggestion);
        for (auto field = finding.fields.begin(); field != finding.fields.end(); ++field) {
            fields.emplace_back(field.key(), field.value());
        }
        LogEvent(IsErrorFinding(finding.kind) ? LogLevel::Error : LogLevel::Warn, "settings",
                 std::string("settings.") + FindingReason(finding.kind), finding.text, fields);
        all += finding.text + "\n";
    }

    // Never destroyed: a load may run while the process exits.
    struct Told {
        tly::Mutex lock;
        std::string last TLY_GUARDED_BY(lock);
    };
    static auto* told = new Told;
    {
        tly::MutexLock guard(told->lock);
        if (all == told->last) return;
        told->last = all;
    }
    for (const SettingsFinding& finding : findings) {
        BootstrapLog("Settings file at '" + path + "': " + finding.text);
    }
}

}  // namespace

// The logging settings first, so every line below goes where the file says.
void UseLoadedSettings(const std::string& path, TranslatorSettings& settings, std::vector<SettingsFinding>& findings) {
    KeepKnownLogLevel(settings, findings);
    const LogFileChoice choice = ApplyLoggingSettings(settings);
    ReviewLogFile(choice, findings);
    ReviewLogFolder(settings, choice.path, findings);
    ReportSettingsFindings(path, findings);
    ReconcileStoredSecret(path, settings);
}
