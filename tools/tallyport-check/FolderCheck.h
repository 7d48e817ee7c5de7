#pragma once
// The step about the installation folder's rights, for the account the check
// runs as (run it as the host's): whether the translator could rewrite the
// settings file the way it does (a new file beside it, renamed over it) and
// rotate its log (renames beside it). Probes by opening with the access those
// operations need; changes nothing.

#include "settings/TranslatorSettings.h"
#include "tools/tallyport-check/CheckReport.h"

#include <string>

StepResult CheckFolder(const std::string& settingsPath, const TranslatorSettings& settings);
