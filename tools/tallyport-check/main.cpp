// tallyport-check: tells a field technician why the translator installed
// beside it cannot work, one verdict per step, without changing anything.

#include "TallyportVersion.h"
#include "logging/Log.h"
#include "platform/SystemLibraries.h"
#include "platform/ComApartment.h"
#include "platform/TextConversion.h"
#include "platform/UniqueResource.h"
#include "tools/tallyport-check/CheckReport.h"
#include "tools/tallyport-check/JournalChecks.h"
#include "tools/tallyport-check/Options.h"
#include "tools/tallyport-check/RegistrationCheck.h"
#include "logging/DataDirectory.h"
#include "tools/tallyport-check/SiteCheck.h"
#include "tools/tallyport-check/StatusView.h"
#include "tools/tallyport-check/SupportBundle.h"
#include "tools/tallyport-check/TypeLibraryComparison.h"

#include <shellapi.h>
#include <windows.h>

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

namespace {

constexpr int kAllPassed = 0;
constexpr int kStepFailed = 1;
constexpr int kBadUsage = 2;
constexpr char kDllName[] = "TallyportAccessControlTranslator.dll";

// The arguments as UTF-8, whatever the console's code page.
std::vector<std::string> Arguments() {
    int count = 0;
    const tly::UniqueLocalMemory list(::CommandLineToArgvW(::GetCommandLineW(), &count));
    std::vector<std::string> arguments;
    const auto* words = static_cast<wchar_t* const*>(list.get());
    for (int i = 1; words && i < count; ++i) arguments.push_back(tly::WideToUtf8(words[i]));
    return arguments;
}

void Print(std::FILE* stream, const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
}

int Run() {
    Options options;
    std::string error;
    if (!ParseOptions(Arguments(), options, error)) {
        Print(stderr, "tallyport-check: " + error + "\n\n" + kUsage);
        return kBadUsage;
    }
    if (options.help) {
        Print(stdout, kUsage);
        return kAllPassed;
    }
    ::SetConsoleOutputCP(CP_UTF8);
    if (options.status) {
        return ShowStatus(DataDirectory(), options.json, options.watch, options.refreshes) ? kAllPassed : kStepFailed;
    }
    if (options.releaseHeld) {
        std::string text;
        const bool released = ReleaseHeldBack(options.releaseHeld->panel, options.releaseHeld->id, text);
        Print(released ? stdout : stderr, "tallyport-check: " + text + "\n");
        return released ? kAllPassed : kStepFailed;
    }

    const std::string dll = ModuleDirectory() + "\\" + kDllName;
    const std::string dllVersion = FileVersion(dll);
    if (options.version) {
        Print(stdout, "tallyport-check " TLY_VERSION_TEXT "\ntranslator " +
                          (dllVersion.empty() ? std::string("not found beside the check") : dllVersion + " " + dll) +
                          "\n");
        return kAllPassed;
    }
    CheckReport report;
    report.SetContext("tool", "tallyport-check");
    report.SetContext("version", TLY_VERSION_TEXT);
    report.SetContext("dll", dll);
    report.SetContext("dll_version", dllVersion);
    if (!options.hostTypeLibrary.empty()) {
        const tly::ComApartment com(COINIT_APARTMENTTHREADED);
        report.Add(CheckHostTypeLibrary(options.hostTypeLibrary, dll));
    } else {
        RunSiteCheck(dll, options.panel, report);
    }
    if (!options.bundle.empty()) {
        if (!WriteSupportBundle(options.bundle, report, dll, dllVersion, error)) {
            Print(stderr, "tallyport-check: no support bundle: " + error + "\n");
            return kStepFailed;
        }
        report.SetContext("bundle", options.bundle);
    }

    if (options.json) {
        Print(stdout, report.Json());
    } else {
        Print(stdout, "tallyport-check " TLY_VERSION_TEXT "; translator " +
                          (dllVersion.empty() ? std::string("DLL not found beside the check") : dllVersion + " at " + dll) +
                          "\n\n" + report.Text() +
                          (options.bundle.empty() ? std::string() : "Support bundle: " + options.bundle + "\n"));
    }
    return report.AllPassed() ? kAllPassed : kStepFailed;
}

}  // namespace

int main() {
    // First of all: version, winhttp and crypt32 are delay-loaded, and come
    // from the system folder only, never from the folder the check lies in.
    tly::RestrictDllSearchToSystemFolder();
    tly::LoadDelayedImportsFromSystemFolder();
    try {
        return Run();
    } catch (const std::exception& e) {
        Print(stderr, std::string("tallyport-check: ") + e.what() + "\n");
    } catch (...) {
        Print(stderr, "tallyport-check: unexpected failure\n");
    }
    return kStepFailed;
}
