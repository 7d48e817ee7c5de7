#include "settings/LoadedSettings.h"

#include "logging/Log.h"
#include "platform/Mutex.h"
#include "settings/SecretProtection.h"

#include <windows.h>

namespace {

// The log folder a record names, when logging is on and the folder is not
// there: a finding to add to the document's.
void ReviewLogFolder(const TranslatorSettings& settings, std::vector<SettingsFinding>& findings) {
    const LogLevel threshold =
        settings.log_level.empty() ? LogLevel::None : ParseLogLevel(settings.log_level, LogLevel::None);
    if (threshold == LogLevel::None) return;
    const std::string path = LogFilePathFor(settings);
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

// Each finding in the structured log at warn or error (component "settings",
// event "settings." + reason), at every load and reload. The bootstrap log gets
// them too, since logging may still be off, but only when they differ from
// what it was last told, so that opening 32 panels does not repeat them.
void ReportSettingsFindings(const std::string& path, const std::vector<SettingsFinding>& findings) {
    std::string all;
    for (const SettingsFinding& finding : findings) {
        LogFields fields{{"path", path}, {"member", finding.member}, {"reason", FindingReason(finding.kind)}};
        if (!finding.suggestion.empty()) fields.emplace_back("did_you_mean", finding.suggestion);
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
    ApplyLoggingSettings(settings);
    ReviewLogFolder(settings, findings);
    ReportSettingsFindings(path, findings);
    ReconcileStoredSecret(path, settings);
}
