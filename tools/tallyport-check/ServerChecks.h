#pragma once
// The steps that talk to the server through the translator's own transport:
// its certificate, the OAuth token, "/status", the event channel and, for one
// panel, the site data and the activities waiting. Read-only: nothing is
// pinned, saved or marked processed.

#include "settings/TranslatorSettings.h"
#include "tools/tallyport-check/CheckReport.h"
#include "transport/TLYRestClient.h"

#include <cstdint>
#include <string>

// expectedThumbprint receives the thumbprint later requests are held to when
// validation is off: the pin, or on first use the one the server presents now.
StepResult CheckCertificate(const TranslatorSettings& settings, std::string& expectedThumbprint);
// Initialises the client and requests a token with the settings' credentials.
StepResult CheckCredentials(TLYRestClient& client, const TranslatorSettings& settings,
                            const std::string& expectedThumbprint);
// Warns ("clock_skew") when the server's "server_time" is more than
// kLargestClockOffsetSeconds from this machine's UTC clock.
constexpr std::int64_t kLargestClockOffsetSeconds = 120;
StepResult CheckStatus(TLYRestClient& client);
StepResult CheckEventChannel(const TLYRestClient& client, const TranslatorSettings& settings,
                             const std::string& expectedThumbprint);
StepResult CheckPanel(TLYRestClient& client, std::int32_t panel);
