// The front's side of the settings watcher: an edit that loaded is put in
// force, and a change of the connection settings makes the connection again
// for every open panel; and stopping everything that runs on a thread of its
// own before the module may be unloaded.

#include "api/TLYApiImpl.h"
#include "logging/Log.h"
#include "settings/SettingsFile.h"

void TLYApiImpl::StartSettingsWatcher(std::uint64_t loadedWriteTime) { watcher.Start(SettingsPath(), loadedWriteTime); }

void TLYApiImpl::StopSettingsWatcher() { watcher.Stop(); }

// On the watcher's thread.
void TLYApiImpl::OnSettingsEdited(const TranslatorSettings& record) {
    if (!settings.ReplaceEdited(record)) return;
    LogApiEvent(LogLevel::Info, "settings.watcher.reconnect", "Connection settings changed, reconnecting",
                {{"hostname", record.hostname}, {"port", record.port}, {"client_id", record.client_id}});
    connection.Close();
    for (std::int32_t panel : PanelIdsSnapshot()) {
        if (!watcher.Running()) return;  // being stopped
        EnsureServerConnection(panel);
    }
}

// Runs on ordinary code paths (the last panel closed, the module about to be
// unloadable), never under the loader lock. A later TLYAPI_Open starts afresh.
void TLYApiImpl::StopBackgroundWork() {
    StopSettingsWatcher();
    activities.StopWorker();
    connection.Close();
}
