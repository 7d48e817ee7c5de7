#pragma once
// The delivery journal as the field check sees it: the activities the
// translator holds back for a panel (the host process ended twice while it
// was being handed one), and their release by the operator.

#include "tools/tallyport-check/CheckReport.h"

#include <cstdint>
#include <string>

// "held_back": fails while the panel has an activity held back.
StepResult CheckHeldBackActivities(std::int32_t panel);

// Releases one held-back activity ("PANEL:ID"): the translator offers it to
// the host again at its next start. The host must be stopped. The text says
// what was done or why not.
bool ReleaseHeldBack(const std::string& panelAndId, std::string& text);
