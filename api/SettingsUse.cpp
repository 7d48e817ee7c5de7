// The front's settings: the first load when a panel is opened, an edit the
// watcher loaded, and a certificate pinned on first use. An edit that changes
// the connection settings makes the connection again for every open panel.
// Also stopping everything that runs on a thread of its own before the module
// may be unloaded.

#include "api/TLYApiImpl.h"

#include "TallyportVersion.h"

#include "logging/DataFolderRecord.h"
#include "logging/Log.h"
#include "settings/SettingsFile.h"
#include "settings/Thumbprint.h"

// The file is loaded into a copy and swapped in whole: a wrongly typed member
// throws out of the load and must not leave the record in force half replaced.
bool TLYApiImpl::LoadSettings() {
    // Where the settings are read from, when the installer chose the folder.
    LogDataFolderInUse();
    // Taken before the file is read: an edit that lands after this moment,
    // before the watcher is armed, shows as a newer time and is reloaded.
    const std::uint64_t loadedWriteTime = SettingsFileWriteTime(SettingsPath());
    TranslatorSettings loaded = SettingsSnapshot();
    // A member of the wrong type throws: the open fails, and the settings in
    // force stay.
    const bool inForceStay = InForceFromFile(SettingsPath());
    std::string why;
    bool complete = false;
    try {
        complete = LoadSettingsFile(loaded, &why, inForceStay);
    } catch (const std::exception& e) {
        if (!inForceStay) status.NoteSettings(false, e.what());
        throw;
    }
    if (!complete && inForceStay) {
        // Another panel opened while the file cannot be read: the settings a
        // good load put in force stay, as they do when an edit breaks the
        // file, and the other panels keep their connection.
        LogApiEvent(LogLevel::Warn, "settings.load.incomplete",
                    "Settings file could not be loaded; the settings in force stay",
                    {{"config_path", SettingsPath()}});
        StartSettingsWatcher(loadedWriteTime);
        return false;
    }
    status.NoteSettings(complete, why);
    if (complete) {
        tly::MutexLock guard(settingsLoadedLock_);
        settingsLoadedFrom_ = SettingsPath();
    }
    // Logging applied again after the load, so the threshold and path follow a failed load too.
    // Defaults written after a failed load say nothing about the pin.
    UsePinFromFile(settings.Replace(loaded, complete));

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

// A pin the file replaced goes to the connection, which holds every request
// and the channel to it; a pin the file only repeats, or leaves out, changes
// nothing there (see PinInForce).
void TLYApiImpl::UsePinFromFile(const std::optional<std::string>& pin) {
    if (!pin) return;
    connection.ReplacePin(*pin);
    LogApiEvent(LogLevel::Info, "tofu.pin_replaced",
                pin->empty() ? "The settings file no longer holds a certificate pin; the next certificate is pinned"
                             : "The settings file's certificate pin is now in force",
                {{"thumbprint", *pin}});
}

// A thumbprint pinned on first use is written once: the REST client hands it
// out and forgets the flag in one step, and a failed write is not retried (the
// pin stays in force in memory for the life of the process).
void TLYApiImpl::SaveTakenPin(const std::string& thumbprint) {
    settings.SetPinnedThumbprint(thumbprint);
    const PinSave saved = SaveCertThumbprint(SettingsPath(), thumbprint);
    if (saved == PinSave::KeptOperatorsPin) {
        // The watcher reloads the edited file and connects with its pin.
        LogApiEvent(LogLevel::Warn, "tofu.thumbprint_not_saved",
                    "The settings file was edited since the certificate was pinned; the edit is kept and the pin not "
                    "saved",
                    {{"thumbprint", thumbprint}});
    } else if (saved == PinSave::Saved) {
        settings.NotePinSaved(thumbprint);
        LogApiEvent(LogLevel::Info, "tofu.thumbprint_saved", "Saved certificate thumbprint to settings file",
                    {{"thumbprint", thumbprint}});
    } else {
        LogApiEvent(LogLevel::Warn, "tofu.thumbprint_save_failed",
                    "Could not save certificate thumbprint to settings file (permissions?). Pinning is active in "
                    "memory but will not persist across restarts.",
                    {{"thumbprint", thumbprint}});
        // Once per pin, as the pin is handed here once: after a restart the
        // next certificate would be trusted anew, which the operator must know.
        LogApiEvent(LogLevel::Error, "tofu.thumbprint_not_saved",
                    "The certificate pin taken on first use is in force but not in the settings file",
                    {{"thumbprint", thumbprint},
                     {"reason", "the settings file could not be read, parsed or written"},
                     {"config_path", SettingsPath()}});
    }
}

void TLYApiImpl::StartSettingsWatcher(std::uint64_t loadedWriteTime) { watcher.Start(SettingsPath(), loadedWriteTime); }

void TLYApiImpl::StopSettingsWatcher(DWORD timeoutMs) { watcher.Stop(timeoutMs); }

// On the watcher's thread.
void TLYApiImpl::OnSettingsEdited(const TranslatorSettings& record) {
    const SettingsInForce::Edit edit = settings.ReplaceEdited(record);
    status.NoteSettings(true, {});
    UsePinFromFile(edit.pin);
    if (!edit.reconnect) return;
    LogApiEvent(LogLevel::Info, "settings.watcher.reconnect", "Connection settings changed, reconnecting",
                {{"hostname", record.hostname}, {"port", record.port}, {"client_id", record.client_id}});
    connection.Close();
    for (std::int32_t panel : PanelIdsSnapshot()) {
        if (!watcher.Running()) break;  // being stopped
        EnsureServerConnection(panel);
    }
    // Stopped while a request of the reconnect was under way (the last panel
    // closed meanwhile): what the reconnect brought up goes with it.
    if (!watcher.Running()) CloseTransportIfUnused();
}

// Runs on ordinary code paths (the last panel closed, the module about to be
// unloadable), never under the loader lock. A later TLYAPI_Open starts afresh.
bool TLYApiImpl::InForceFromFile(const std::string& path) {
    tly::MutexLock guard(settingsLoadedLock_);
    return !settingsLoadedFrom_.empty() && settingsLoadedFrom_ == path;
}

void TLYApiImpl::StopBackgroundWork() {
    StopSettingsWatcher();
    activities.StopWorker();
    connection.Close();
}
