#pragma once
// The field check of an installation: first whether the host would load the
// DLL at all (the registration), then step by step in the order a connection
// is built: settings, secret, name, port, certificate, credentials, status,
// event channel, optionally one panel's site data; then the log file and the
// folder's rights. A step whose footing failed is skipped, not failed again.

#include "tools/tallyport-check/CheckReport.h"

#include <cstdint>
#include <optional>
#include <string>

// dll: the translator beside the check.
void RunSiteCheck(const std::string& dll, std::optional<std::int32_t> panel, CheckReport& report);
