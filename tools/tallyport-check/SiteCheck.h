#pragma once
// The field check of an installation, step by step in the order a connection
// is built: settings, secret, name, port, certificate, credentials, status,
// event channel, optionally one panel's site data, and the log file. A step
// whose footing failed is skipped, not failed again.

#include "tools/tallyport-check/CheckReport.h"

#include <cstdint>
#include <optional>

void RunSiteCheck(std::optional<std::int32_t> panel, CheckReport& report);
