#include "tools/tallyport-check/SiteCheck.h"

#include "logging/Log.h"
#include "settings/SettingsFile.h"
#include "tools/tallyport-check/ComObjectCheck.h"
#include "tools/tallyport-check/FolderCheck.h"
#include "tools/tallyport-check/JournalChecks.h"
#include "tools/tallyport-check/NetworkChecks.h"
#include "tools/tallyport-check/RegistrationCheck.h"
#include "tools/tallyport-check/ServerChecks.h"
#include "tools/tallyport-check/SettingsChecks.h"

#include <windows.h>

#include <string>
#include <vector>

namespace {

// Runs the step when the step it stands on passed, else records it as skipped.
template <typename Check>
void Step(CheckReport& report, const char* name, const char* footing, Check check) {
    report.Add(report.Passed(footing) ? check() : StepResult::Skipped(name, footing));
}

// The program folder, the DLL and this check: what only administrators may change.
std::vector<std::string> ProgramsBeside(const std::string& dll) {
    std::vector<std::string> programs = {ModuleDirectory(), dll};
    char self[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameA(nullptr, self, MAX_PATH);
    if (length > 0 && length < MAX_PATH) programs.emplace_back(self, length);
    return programs;
}

}  // namespace

void RunSiteCheck(const std::string& dll, std::optional<std::int32_t> panel, CheckReport& report) {
    report.Add(CheckRegistration(dll));
    // The object is created only from this folder's DLL: the class registered
    // here (whatever else is wrong with the registration), not elsewhere or
    // not at all.
    const StepResult* registration = report.Find("registration");
    const bool registeredHere = registration->verdict == Verdict::Pass || registration->reason == "dll_missing" ||
                                registration->reason == "threading_model_wrong" ||
                                registration->reason == "typelib_not_registered";
    report.Add(registeredHere ? CheckComObject(registration->data.value("inproc_server", dll))
                              : StepResult::Skipped("com_object", "registration"));

    const std::string path = SettingsPath();
    report.SetContext("settings_path", path);
    TranslatorSettings settings;
    const SettingsInspection inspection = InspectSettingsJson(path, settings);
    report.Conceal(settings.client_secret);

    report.Add(CheckSettingsFile(path, inspection, settings));
    Step(report, "secret", "settings", [&] { return CheckSecret(inspection, settings); });

    const WinsockSession winsock;
    const auto port = static_cast<std::uint16_t>(settings.port);
    std::vector<std::string> addresses;
    Step(report, "resolve", "settings", [&] { return CheckNameResolves(settings.hostname, port, addresses); });
    Step(report, "connect", "resolve", [&] { return CheckTcpConnects(settings.hostname, port); });

    std::string expectedThumbprint;
    Step(report, "tls", "connect", [&] { return CheckCertificate(settings, expectedThumbprint); });

    TLYRestClient client;
    const bool credentialsKnown = report.Passed("secret");
    report.Add(!credentialsKnown          ? StepResult::Skipped("oauth", "secret")
               : !report.Passed("tls")    ? StepResult::Skipped("oauth", "tls")
                                          : CheckCredentials(client, settings, expectedThumbprint));
    Step(report, "status", "oauth", [&] { return CheckStatus(client); });
    Step(report, "websocket", "oauth", [&] { return CheckEventChannel(client, settings, expectedThumbprint); });
    if (panel) Step(report, "panel", "oauth", [&] { return CheckPanel(client, *panel); });
    if (panel) report.Add(CheckJournalUsage(*panel));
    if (panel) report.Add(CheckHeldBackActivities(*panel));
    client.Close();

    Step(report, "log", "settings", [&] { return CheckLogFile(settings); });
    Step(report, "folder", "settings", [&] { return CheckFolder(path, settings, ProgramsBeside(dll)); });
}
