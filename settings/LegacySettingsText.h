#pragma once
// The lines of the legacy text settings, read from text already in memory:
// "key,value" lines, blanks trimmed, "#" comments and unknown keys skipped.
// Kept apart from the migration, which needs the file system, so the reading
// of what an operator wrote can be checked on its own.

#include "settings/TranslatorSettings.h"

#include <string>

// Applies the recognised lines to the record; what is not recognised is left as it was.
void ApplyLegacySettingsText(const std::string& text, TranslatorSettings& settings);
