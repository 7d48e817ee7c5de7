#pragma once
// What follows every read of the settings file that loaded, at start and
// after an edit alike: the logging settings take effect, the log folder and
// the file's other findings are reported, and a secret typed in plain text is
// encrypted in the file.

#include "settings/SettingsReview.h"
#include "settings/TranslatorSettings.h"

#include <string>
#include <vector>

void UseLoadedSettings(const std::string& path, TranslatorSettings& settings, std::vector<SettingsFinding>& findings);
