#pragma once
// The text of "tallyport_settings.json", apart from the file: what a text
// reads as (a record, or why it is not one) and the text a record is written
// as. Nothing here touches the file system, so the reading of what an
// operator wrote can be checked on its own.

#include "settings/SettingsReview.h"
#include "settings/TranslatorSettings.h"

#include <nlohmann/json.hpp>

#include <stdexcept>
#include <string>
#include <vector>

// Raised by the read when a member is present with the wrong type (null
// included) or a number does not fit. The text names the member, never its value.
class SettingsTypeError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// What one read of the file found, for a caller that explains the file to a
// person instead of loading it: nothing goes to the bootstrap log and nothing
// is written (a failed decryption still reaches the structured log, at the
// threshold in force; the field check leaves it at none).
struct SettingsInspection {
    enum class Outcome {
        Loaded,      // the record holds the file's settings (whatever became of the secret)
        Missing,     // no file at the path
        Unreadable,  // the file exists but cannot be read, or its secret cannot be decrypted
        NotJson,     // a syntax error; problem says where, never what the file holds there
        OldVersion,  // "version" absent or below 2
        WrongType,   // problem names the member and the type it must have
    };
    enum class Secret {
        Empty,
        Plain,          // typed in plain text; the translator encrypts it at its next load
        Protected,      // "DPAPI:" form, decrypted here
        Undecryptable,  // "DPAPI:" form that this account on this machine cannot decrypt (or a damaged value)
    };
    Outcome outcome = Outcome::Missing;
    Secret secret = Secret::Empty;
    std::string problem;
    int line = 0;        // where a syntax error is, 1-based; 0 when the problem has no place
    int column = 0;
    std::string member;  // the member the problem concerns, when known
    const char* reason = nullptr;  // for NotJson: the mistake's stable name (see SettingsProblem)
    // What a file that loads still gets wrong (unknown, missing or placeholder members).
    std::vector<SettingsFinding> findings;
};

// Reads the text into the record, which holds the defaults, and says how it
// went: Loaded, NotJson, OldVersion, or Unreadable for a stored secret that
// cannot be decrypted. That secret ends the read unless readPastSecret is set;
// then the outcome is Loaded with the secret left empty. Only a wrongly typed
// member throws (SettingsTypeError); the caller decides what to make of it.
SettingsInspection ReadSettingsText(const std::string& text, TranslatorSettings& settings, bool readPastSecret);

// The written form of a document: two-space indent, keys in byte order (the
// library's object is an ordered map), raw UTF-8, no final line break. Throws
// the JSON library's type_error for text that is not UTF-8.
std::string SettingsDocumentText(const nlohmann::json& document);

// The written form of a record: "version" 2, "server" and "logging" with the
// record's values (the secret as held, that is plaintext), no
// "cert_thumbprint" and no "debug". Throws as SettingsDocumentText does.
std::string WrittenSettingsText(const TranslatorSettings& settings);
