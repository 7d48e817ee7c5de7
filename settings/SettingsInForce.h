#pragma once
// The settings record the whole process works with, replaced whole by a load
// or an edit, copied out by whoever needs it, and the certificate pin in force
// (PinInForce.h), which the record's "cert_thumbprint" always shows.
//
// It owns the record, the pin and one lock. Under the lock only the log's lock (and
// the module folder's, which the log's path asks) is taken: a record put in
// force applies its logging settings in the same hold, so the log never
// follows an older record than the one in force.

#include "platform/Mutex.h"
#include "settings/PinInForce.h"
#include "settings/TranslatorSettings.h"

#include <optional>
#include <string>

class SettingsInForce {
public:
    TranslatorSettings Get() const TLY_EXCLUDES(lock_);
    bool BadgeEventFileEnabled() const TLY_EXCLUDES(lock_);

    // Puts the record in force and applies its logging settings. fromFile:
    // the record is what the file holds; otherwise (defaults after a failed
    // load) its pin says nothing about the file. The pin in force when the
    // file replaced it (possibly with none), else nothing: the pin is kept.
    std::optional<std::string> Replace(TranslatorSettings record, bool fromFile) TLY_EXCLUDES(lock_);

    struct Edit {
        bool reconnect = false;          // a setting of the connection changed
        std::optional<std::string> pin;  // the file replaced the pin in force with this
    };
    // The same for an edit read from the file, already applied to the log.
    Edit ReplaceEdited(TranslatorSettings record) TLY_EXCLUDES(lock_);
    // A certificate pinned on first use, in force whether or not the file
    // could be written: reloading the file shows no change of the connection.
    void SetPinnedThumbprint(const std::string& thumbprint) TLY_EXCLUDES(lock_);
    // That pin was written to the file.
    void NotePinSaved(const std::string& thumbprint) TLY_EXCLUDES(lock_);

private:
    // The record with the pin in force; set when the file replaced the pin.
    std::optional<std::string> TakePin(TranslatorSettings& record, bool fromFile) TLY_REQUIRES(lock_);

    mutable tly::Mutex lock_;  // the log's lock may be taken under it
    TranslatorSettings record_ TLY_GUARDED_BY(lock_);
    PinInForce pin_ TLY_GUARDED_BY(lock_);
};

// True when a change between the two records needs a reconnect.
bool ConnectionSettingsDiffer(const TranslatorSettings& a, const TranslatorSettings& b);
