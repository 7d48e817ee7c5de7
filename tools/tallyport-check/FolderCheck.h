#pragma once
// The step about the folders' rights. The programs (their folder, the DLL and
// the check) must be changeable by administrators only: neither ordinary
// users nor the account the check runs as (run it as the host's) may write,
// delete or re-permission them, read from their security descriptors. The
// data folder must let that account rewrite the settings file the way the
// translator does (a new file beside it, renamed over it) and rotate its log
// (renames beside it), probed by opening with the access those operations
// need. Changes nothing.

#include "settings/TranslatorSettings.h"
#include "tools/tallyport-check/CheckReport.h"

#include <string>
#include <vector>

// programs: the program folder first, then the program files in it.
StepResult CheckFolder(const std::string& settingsPath, const TranslatorSettings& settings,
                       const std::vector<std::string>& programs);
