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

std::optional<std::string> SettingsInForce::TakePin(TranslatorSettings& record, bool fromFile) {
    const bool replaced = fromFile && pin_.FileRead(record.cert_thumbprint);
    record.cert_thumbprint = pin_.Pin();
    if (!replaced) return std::nullopt;
    return pin_.Pin();
}

std::optional<std::string> SettingsInForce::Replace(TranslatorSettings record, bool fromFile) {
    tly::MutexLock guard(lock_);
    std::optional<std::string> replaced = TakePin(record, fromFile);
    record_ = std::move(record);
    ApplyLoggingSettings(record_);
    return replaced;
}

SettingsInForce::Edit SettingsInForce::ReplaceEdited(TranslatorSettings record) {
    tly::MutexLock guard(lock_);
    Edit edit;
    edit.pin = TakePin(record, true);
    edit.reconnect = ConnectionSettingsDiffer(record_, record);
    record_ = std::move(record);
    return edit;
}

void SettingsInForce::SetPinnedThumbprint(const std::string& thumbprint) {
    tly::MutexLock guard(lock_);
    pin_.Taken(thumbprint);
    record_.cert_thumbprint = thumbprint;
}

void SettingsInForce::NotePinSaved(const std::string& thumbprint) {
    tly::MutexLock guard(lock_);
    pin_.Saved(thumbprint);
}

bool ConnectionSettingsDiffer(const TranslatorSettings& a, const TranslatorSettings& b) {
    return a.hostname != b.hostname || a.port != b.port || a.client_id != b.client_id ||
           a.client_secret != b.client_secret || a.validate_cert != b.validate_cert ||
           a.cert_thumbprint != b.cert_thumbprint;
}
