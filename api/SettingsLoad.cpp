#include "api/TLYApiImpl.h"

#include "TallyportVersion.h"

#include "logging/Log.h"
#include "settings/SettingsFile.h"

// The file is loaded into a copy and swapped in whole: a wrongly typed member
// throws out of the load and must not leave the record in force half replaced.
bool TLYApiImpl::LoadSettings() {
    // Taken before the file is read: an edit that lands after this moment,
    // before the watcher is armed, shows as a newer time and is reloaded.
    const std::uint64_t loadedWriteTime = SettingsFileWriteTime(SettingsPath());
    TranslatorSettings loaded = SettingsSnapshot();
    const bool complete = LoadSettingsFile(loaded);
    // Logging applied again after the load, so the threshold and path follow a failed load too.
    settings.Replace(loaded);

    if (!complete) {
        LogApiEvent(LogLevel::Warn, "settings.load.incomplete",
                    "Settings file missing or incomplete; default configuration was written",
                    {{"config_path", SettingsPath()}});
    } else {
        LogApiEvent(LogLevel::Info, "settings.loaded", "Loaded translator settings",
                    {{"hostname", loaded.hostname},
                     {"port", loaded.port},
                     {"client_id", loaded.client_id},
                     {"validate_cert", loaded.validate_cert},
                     {"log_level", loaded.log_level},
                     {"log_file_name", loaded.log_file_name},
                     // Which translator wrote the lines that follow: the DLL's file version.
                     {"version", TLY_VERSION_TEXT}});
    }
    StartSettingsWatcher(loadedWriteTime);
    return complete;
}
