#pragma once
// The settings record the whole process works with, replaced whole by a load
// or an edit, copied out by whoever needs it.
//
// It owns the record and one lock. Under the lock only the log's lock (and
// the module folder's, which the log's path asks) is taken: a record put in
// force applies its logging settings in the same hold, so the log never
// follows an older record than the one in force.

#include "platform/Mutex.h"
#include "settings/TranslatorSettings.h"

#include <string>

class SettingsInForce {
public:
    TranslatorSettings Get() const TLY_EXCLUDES(lock_);
    bool BadgeEventFileEnabled() const TLY_EXCLUDES(lock_);

    // Puts the record in force and applies its logging settings.
    void Replace(const TranslatorSettings& record) TLY_EXCLUDES(lock_);
    // The same for an edit already applied to the log; true when a setting
    // of the connection changed, so the connection must be made again.
    bool ReplaceEdited(const TranslatorSettings& record) TLY_EXCLUDES(lock_);
    // A certificate pinned on first use, so that reloading the file it is
    // written to shows no change of the connection settings.
    void SetPinnedThumbprint(const std::string& thumbprint) TLY_EXCLUDES(lock_);

private:
    mutable tly::Mutex lock_;  // the log's lock may be taken under it
    TranslatorSettings record_ TLY_GUARDED_BY(lock_);
};

// True when a change between the two records needs a reconnect.
bool ConnectionSettingsDiffer(const TranslatorSettings& a, const TranslatorSettings& b);
