#include "settings/LoadedSettings.h"

#include "logging/Log.h"
#include "settings/SecretProtection.h"

// The logging settings first, so every line below goes where the file says.
void UseLoadedSettings(const std::string& path, TranslatorSettings& settings, std::vector<SettingsFinding>& findings) {
    ApplyLoggingSettings(settings);
    ReviewLogFolder(settings, findings);
    ReportSettingsFindings(path, findings);
    ReconcileStoredSecret(path, settings);
}
