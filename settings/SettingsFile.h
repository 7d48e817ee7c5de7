#pragma once
// "tallyport_settings.json" in the data folder (logging/DataDirectory.h): reading it into a settings
// record, writing a default or migrated file, updating one member of its
// "server" object in place, and the whole load sequence of one record. What
// a text reads as and how a record is written as text: SettingsText.h.

#include "settings/SettingsText.h"
#include "settings/TranslatorSettings.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// DataDirectory() + "\\tallyport_settings.json".
std::string SettingsPath();

// The file's last write time as a 64-bit file time; 0 when it cannot be
// examined (missing, or being replaced).
std::uint64_t SettingsFileWriteTime(const std::string& path);


// Creates or replaces the file with the written form of the record: sorted
// keys, two-space indent, no final line break, no "cert_thumbprint" and no
// "debug". The file keeps its access rules and attributes; see ReplaceFileContents.
bool WriteSettingsJson(const std::string& path, const TranslatorSettings& settings);


// Reads the file into the record, starting from the defaults. False when the
// file cannot be opened (record unchanged), is not JSON, has a "version" below
// 2, or holds a stored secret that cannot be decrypted. Throws SettingsTypeError
// for a wrongly typed member, which the caller reports. With a report, says why a read failed (in plain
// words, with line, column and member) and what a read that loaded found.
bool ReadSettingsJson(const std::string& path, TranslatorSettings& settings, SettingsInspection* report = nullptr);

enum class FieldUpdate {
    Failed,      // the file could not be read, parsed or written
    Unchanged,   // nothing to write: the member already holds the value, or the decision was to leave it
    Written,
    Superseded,  // the file kept changing under the write; an edit always wins, so nothing was written
};

// The value a write-back wants for one member of "server", decided from the
// file as it is now: fileSettings is what the file loads as (null when it does
// not load as settings). No value: leave the file alone.
using ServerFieldDecision = std::function<std::optional<std::string>(const TranslatorSettings* fileSettings)>;

// Sets "server".key in the existing file, keeping every other member, but only
// if the file still holds the text the decision was made from: an operator's
// edit saved meanwhile is never overwritten. The file is then read and the
// decision made again, a few times at most. A value already in place is not
// written again, so a reload that finds nothing to change does not touch the file.
FieldUpdate RewriteServerField(const std::string& path, const std::string& key, const ServerFieldDecision& decide);

// The same with a fixed value.
FieldUpdate UpdateServerFieldIfChanged(const std::string& path, const std::string& key, const std::string& value);

// Reads the file as ReadSettingsJson does, but reads on past a secret that
// cannot be decrypted (client_secret then stays empty) and returns what it
// found instead of reporting or throwing it.
SettingsInspection InspectSettingsJson(const std::string& path, TranslatorSettings& settings);

// Where a file that could not be read is wrong, for the Event Log: its path,
// and the line, column and member when the inspection found them.
std::string SettingsPlace(const std::string& path, const SettingsInspection& read);

// The load sequence of one record: the JSON file, else the legacy text file,
// else a default file when none exists. True when the settings came from the
// JSON or the legacy file. Throws SettingsTypeError as ReadSettingsJson does,
// after saying why in the bootstrap log. When it returns false, why (if
// given) says why in a few words.
// inForceStay: the caller keeps the settings a good load of this file put in
// force when this load fails (another panel opening while the file is
// broken); what is said about the failure says so, and nothing is reset.
bool LoadSettingsFile(TranslatorSettings& settings, std::string* why = nullptr, bool inForceStay = false);
