#include "api/TLYApiImpl.h"

#include "logging/Log.h"

bool TLYApiImpl::LoadSettings() {
    ApplyLoggingSettings(SettingsSnapshot());
    return settingsComplete.load();
}
