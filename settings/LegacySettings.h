#pragma once
// The legacy text settings "tallyport_settings.txt": "key,value" lines that
// earlier installations kept, migrated once into the JSON settings file.

#include "settings/TranslatorSettings.h"

#include <string>

// Applies the recognised lines of the file to the record. True if the file
// could be opened, even when no line was recognised.
bool ParseLegacySettingsText(const std::string& path, TranslatorSettings& settings);

// Writes the record (already read from txt) as the JSON file at json and
// renames txt to txt + ".bak", reporting each failure. Never fails the load.
void MigrateLegacySettings(const std::string& txt, const std::string& json, const TranslatorSettings& settings);
