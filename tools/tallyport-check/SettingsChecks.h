#pragma once
// The steps about files beside the check: the settings file, the client
// secret in it, and the log file it names. Nothing is written.

#include "settings/SettingsFile.h"
#include "tools/tallyport-check/CheckReport.h"

StepResult CheckSettingsFile(const std::string& path, const SettingsInspection& inspection,
                             const TranslatorSettings& settings);
// Warns when "debug"."plaintext_secret" keeps the secret in plain text.
StepResult CheckSecret(const SettingsInspection& inspection, const TranslatorSettings& settings);
StepResult CheckLogFile(const TranslatorSettings& settings);
