#include "api/TLYApiImpl.h"

#include "logging/Log.h"
#include "settings/SettingsFile.h"
#include "settings/Thumbprint.h"

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
        LogApiEvent(LogLevel::Info, "tofu.thumbprint_saved", "Saved certificate thumbprint to settings file",
                    {{"thumbprint", thumbprint}});
    } else {
        LogApiEvent(LogLevel::Warn, "tofu.thumbprint_save_failed",
                    "Could not save certificate thumbprint to settings file (permissions?). Pinning is active in "
                    "memory but will not persist across restarts.",
                    {{"thumbprint", thumbprint}});
    }
}
