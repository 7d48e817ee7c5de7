#include "settings/LegacySettings.h"

#include "logging/Log.h"
#include "platform/FileAccess.h"
#include "settings/LegacySettingsText.h"
#include "settings/SettingsFile.h"

#include <windows.h>

#include <cstdint>

namespace {

// Migration overwrites a JSON file that exists but could not be used (a typo in
// a hand edit, a secret of another account). Its client id and secret are not
// in the legacy file, so a copy is kept beside it first; without one the file
// is not replaced.
bool KeepUnusableSettingsFile(const std::string& json) {
    if (::GetFileAttributesA(json.c_str()) == INVALID_FILE_ATTRIBUTES) return true;
    const std::string copy = json + ".bak";
    if (!::CopyFileA(json.c_str(), copy.c_str(), FALSE)) {
        const DWORD error = ::GetLastError();
        BootstrapLog("Could not keep a copy of the unusable settings file '" + json + "' as '" + copy +
                     "' (error=" + std::to_string(error) + "); it was not replaced by the migrated settings");
        return false;
    }
    BootstrapLog("Kept a copy of the unusable settings file '" + json + "' as '" + copy +
                 "' before replacing it with the migrated settings");
    return true;
}

}  // namespace

bool ParseLegacySettingsText(const std::string& path, TranslatorSettings& settings) {
    std::string text;
    if (!ReadWholeFile(path, text)) return false;
    ApplyLegacySettingsText(text, settings);
    return true;
}

void MigrateLegacySettings(const std::string& txt, const std::string& json, const TranslatorSettings& settings) {
    ApplyLoggingSettings(settings);

    if (!KeepUnusableSettingsFile(json) || !WriteSettingsJson(json, settings)) {
        BootstrapLog("Loaded legacy TXT settings from '" + txt + "' but could not persist migrated JSON to '" + json +
                     "'");
        LogEvent(LogLevel::Error, "settings", "settings.migration_write_failed",
                 "Loaded legacy TXT settings but failed to write migrated JSON file",
                 {{"source", txt}, {"target", json}});
        return;
    }

    const std::string bak = txt + ".bak";
    if (!::MoveFileA(txt.c_str(), bak.c_str())) {
        const DWORD error = ::GetLastError();
        BootstrapLog("Migrated settings JSON but failed to rename legacy TXT file from '" + txt + "' to '" + bak +
                     "' (error=" + std::to_string(error) + ")");
        LogEvent(LogLevel::Warn, "settings", "settings.legacy_rename_failed",
                 "Migrated settings JSON but failed to rename legacy TXT file",
                 {{"source", txt}, {"target", bak}, {"win32_error", static_cast<std::uint32_t>(error)}});
    }
    LogEvent(LogLevel::Info, "settings", "settings.migrated", "Migrated legacy settings file to JSON",
             {{"source", txt}, {"target", json}});
}
