#pragma once
// The settings document, already parsed, read into a record: shared by the
// text's read and by the write-back, which decides from what the file holds.

#include "settings/SettingsText.h"

#include <nlohmann/json.hpp>

enum class DocumentRead { Loaded, OldVersion, SecretUndecryptable };

// Reads the document into the record, which holds the defaults, and tells the
// stored form of the secret. A secret that cannot be decrypted ends the read
// there (the "server" values before it stay read) unless readPastSecret is set.
// Throws SettingsTypeError for a wrongly typed member.
DocumentRead ReadSettingsDocument(const nlohmann::json& document, TranslatorSettings& settings,
                                  SettingsInspection::Secret& secret, bool readPastSecret);
