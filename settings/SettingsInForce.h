#pragma once
// The settings record the whole process works with, replaced whole by a load
// or an edit, copied out by whoever needs it.
//
// It owns the record and one lock. Under the lock only the log's lock is
// taken: a record put in force applies its logging settings in the same
// hold, so the log never follows an older record than the one in force.

#include "settings/TranslatorSettings.h"

#include <mutex>
#include <string>

class SettingsInForce {
public:
    TranslatorSettings Get() const;
    bool BadgeEventFileEnabled() const;

    // Puts the record in force and applies its logging settings.
    void Replace(const TranslatorSettings& record);
    // The same for an edit already applied to the log; true when a setting
    // of the connection changed, so the connection must be made again.
    bool ReplaceEdited(const TranslatorSettings& record);
    // A certificate pinned on first use, so that reloading the file it is
    // written to shows no change of the connection settings.
    void SetPinnedThumbprint(const std::string& thumbprint);

private:
    mutable std::mutex lock_;  // the log's lock may be taken under it
    TranslatorSettings record_;
};

// True when a change between the two records needs a reconnect.
bool ConnectionSettingsDiffer(const TranslatorSettings& a, const TranslatorSettings& b);
