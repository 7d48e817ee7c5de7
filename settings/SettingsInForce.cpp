#include "settings/SettingsInForce.h"

#include "logging/Log.h"

TranslatorSettings SettingsInForce::Get() const {
    tly::MutexLock guard(lock_);
    return record_;
}

bool SettingsInForce::BadgeEventFileEnabled() const {
    tly::MutexLock guard(lock_);
    return record_.enable_badge_event_file;
}

void SettingsInForce::Replace(const TranslatorSettings& record) {
    tly::MutexLock guard(lock_);
    record_ = record;
    ApplyLoggingSettings(record);
}

bool SettingsInForce::ReplaceEdited(const TranslatorSettings& record) {
    tly::MutexLock guard(lock_);
    const bool changed = ConnectionSettingsDiffer(record_, record);
    record_ = record;
    return changed;
}

void SettingsInForce::SetPinnedThumbprint(const std::string& thumbprint) {
    tly::MutexLock guard(lock_);
    record_.cert_thumbprint = thumbprint;
}

bool ConnectionSettingsDiffer(const TranslatorSettings& a, const TranslatorSettings& b) {
    return a.hostname != b.hostname || a.port != b.port || a.client_id != b.client_id ||
           a.client_secret != b.client_secret || a.validate_cert != b.validate_cert ||
           a.cert_thumbprint != b.cert_thumbprint;
}
