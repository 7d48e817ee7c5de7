#pragma once
// The delivery journal as the field check sees it: how full it is, the
// activities the translator holds back for a panel (the host process ended
// twice while it was being handed one), and their release by the operator.

#include "api/DeliveryJournal.h"
#include "tools/tallyport-check/CheckReport.h"

#include <cstdint>
#include <string>

// The journal's counts and size as the report and the bundle give them.
nlohmann::json JournalUsageJson(const JournalUsage& usage);

// "journal": the panel's ids taken and not yet marked, held back, and the
// file's size; fails when the journal is full (delivery waits for marks).
StepResult CheckJournalUsage(std::int32_t panel);

// "held_back": fails while the panel has an activity held back.
StepResult CheckHeldBackActivities(std::int32_t panel);

// Releases one held-back activity: the translator offers it to the host again
// at its next start. The host must be stopped. The text says what was done or
// why not.
bool ReleaseHeldBack(std::int32_t panel, std::int32_t id, std::string& text);
