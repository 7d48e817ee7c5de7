// The field check as a technician runs it: a copy of tallyport-check.exe beside
// a copy of the DLL and a settings file, against a private simulator. The
// assertions are the steps' verdicts and reasons, never their wording.

#include "TallyportVersion.h"
#include "api/DeliveryJournal.h"
#include "platform/UniqueResource.h"
#include "settings/SecretProtection.h"
#include "tests/support/Simulator.h"
#include "tests/support/TempModuleDirectory.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <windows.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

namespace tly::test {
namespace {

constexpr DWORD kRunTimeoutMs = 90000;

// The build's paths are Linux paths; Wine maps the root to drive Z.
std::string WindowsPath(std::string path) {
    std::replace(path.begin(), path.end(), '/', '\\');
    return "Z:" + path;
}

void PlaceBeside(const std::string& source, const std::string& target) {
    if (!::CreateHardLinkA(target.c_str(), source.c_str(), nullptr)) {
        ASSERT_TRUE(::CopyFileA(source.c_str(), target.c_str(), FALSE)) << source << ": " << ::GetLastError();
    }
}

struct CheckRun {
    DWORD exitCode = 0;
    std::string output;  // standard output and standard error
    nlohmann::json report;
};

// An installation folder: the check and the DLL, as the package places them.
class Installation {
public:
    Installation() {
        PlaceBeside(WindowsPath(TLY_CHECK_EXE), dir_.File("tallyport-check.exe"));
        PlaceBeside(WindowsPath(TLY_DLL_FILE), dir_.File("TallyportAccessControlTranslator.dll"));
    }

    const TempModuleDirectory& Dir() const { return dir_; }

    CheckRun Run(const std::string& arguments) {
        // A file of its own per run: Wine may still be closing the last run's handle.
        const std::string outputPath = dir_.File("check-output-" + std::to_string(++runs_) + ".txt");
        SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
        CheckRun run;
        {
            UniqueFileHandle output(::CreateFileA(outputPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
            EXPECT_TRUE(output.valid());
            STARTUPINFOA startup{};
            startup.cb = sizeof(startup);
            startup.dwFlags = STARTF_USESTDHANDLES;
            startup.hStdOutput = output.get();
            startup.hStdError = output.get();
            std::string commandLine = "\"" + dir_.File("tallyport-check.exe") + "\" " + arguments;
            PROCESS_INFORMATION process{};
            if (!::CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                                  &process)) {
                ADD_FAILURE() << "cannot start the check: " << ::GetLastError();
                return run;
            }
            const UniqueHandle processHandle(process.hProcess);
            const UniqueHandle threadHandle(process.hThread);
            EXPECT_EQ(::WaitForSingleObject(processHandle.get(), kRunTimeoutMs), WAIT_OBJECT_0);
            ::GetExitCodeProcess(processHandle.get(), &run.exitCode);
        }
        run.output = ReadFileBytes(outputPath);
        run.report = nlohmann::json::parse(run.output, nullptr, false);
        return run;
    }

private:
    TempModuleDirectory dir_;
    int runs_ = 0;
};

// "step:verdict" of every step in order, and the reason of each that did not pass.
std::string Verdicts(const nlohmann::json& report) {
    std::string text;
    if (!report.is_object()) return "no report";
    for (const auto& step : report.value("steps", nlohmann::json::array())) {
        text += (text.empty() ? "" : " ") + step.value("step", "?") + ":" + step.value("verdict", "?");
        if (step.contains("reason") && step["verdict"] == "fail") text += "(" + step["reason"].get<std::string>() + ")";
    }
    return text;
}

const nlohmann::json& StepData(const nlohmann::json& report, const std::string& name) {
    static const nlohmann::json kNone;
    for (const auto& step : report["steps"]) {
        if (step["step"] == name) return step.contains("data") ? step["data"] : kNone;
    }
    return kNone;
}

nlohmann::json GoodSettings(const Simulator& sim) {
    return {{"version", 2},
            {"server",
             {{"hostname", Simulator::kHost},
              {"port", sim.Port()},
              {"client_id", sim.ClientId()},
              {"client_secret", sim.ClientSecret()}}}};
}

constexpr char kAllPass[] =
    "settings:pass secret:pass resolve:pass connect:pass tls:pass oauth:pass status:pass websocket:pass log:pass";

TEST(TallyportCheck, VerdictsAgainstTheSimulatorWithoutChangingAnything) {
    Simulator sim;
    sim.Call("POST", "/site",
             {{"doors", {{{"id", 3}, {"name", "Gate"}, {"external_entry_reader_id", 11}}}},
              {"handhelds", {{{"id", 101}, {"name", "HH-1"}, {"guid", "g-1"}, {"external_id", "1:1"}, {"door_id", 3}}}},
              {"readers", {{"1", {{{"id", 11}, {"external_id", "1:1"}, {"name", "Gate in"}, {"guid", "g-1"}, {"door_id", 3}}}}}}});
    sim.Call("POST", "/activities", {{"reader_external_id", "1:1"}, {"badge_no", 4711}, {"notify", false}});

    struct Case {
        const char* name;
        std::function<void(nlohmann::json& settings)> arrange;
        const char* arguments;
        DWORD exitCode;
        std::string verdicts;
    };
    const std::string secret = sim.ClientSecret();
    const std::vector<Case> cases = {
        {"plain secret, pinned on first use, one panel", [](nlohmann::json&) {}, "--json --panel 1", 0,
         "settings:pass secret:pass resolve:pass connect:pass tls:pass oauth:pass status:pass websocket:pass "
         "panel:pass held_back:pass log:pass"},
        {"protected secret, matching pin",
         [&](nlohmann::json& s) {
             s["server"]["client_secret"] = "DPAPI:" + DpapiEncrypt(secret);
             s["server"]["cert_thumbprint"] = sim.Thumbprint();
         },
         "--json", 0, kAllPass},
        {"wrong secret", [](nlohmann::json& s) { s["server"]["client_secret"] = "not-the-secret"; }, "--json", 1,
         "settings:pass secret:pass resolve:pass connect:pass tls:pass oauth:fail(credentials_rejected) status:skip "
         "websocket:skip log:pass"},
        {"another certificate than the pinned one",
         [&](nlohmann::json& s) { s["server"]["cert_thumbprint"] = sim.AlternateThumbprint(); }, "--json", 1,
         "settings:pass secret:pass resolve:pass connect:pass tls:fail(thumbprint_mismatch) oauth:skip status:skip "
         "websocket:skip log:pass"},
        {"platform validation of a self-signed certificate",
         [](nlohmann::json& s) { s["server"]["validate_cert"] = true; }, "--json", 1,
         "settings:pass secret:pass resolve:pass connect:pass tls:fail(certificate_untrusted) oauth:skip status:skip "
         "websocket:skip log:pass"},
        {"event channel refused",
         [&](nlohmann::json&) { sim.Call("POST", "/ws/refuse", {{"status", 403}, {"count", 1}}); }, "--json", 1,
         "settings:pass secret:pass resolve:pass connect:pass tls:pass oauth:pass status:pass "
         "websocket:fail(websocket_refused) log:pass"},
        {"secret protected elsewhere", [](nlohmann::json& s) { s["server"]["client_secret"] = "DPAPI:AAECAwQFBgcI"; },
         "--json", 1,
         "settings:pass secret:fail(secret_undecryptable) resolve:pass connect:pass tls:pass oauth:skip status:skip "
         "websocket:skip log:pass"},
        {"wrongly typed member", [](nlohmann::json& s) { s["server"]["port"] = "443"; }, "--json", 1,
         "settings:fail(settings_wrong_type) secret:skip resolve:skip connect:skip tls:skip oauth:skip status:skip "
         "websocket:skip log:skip"},
        {"misspelt member", [](nlohmann::json& s) { s["server"]["Port"] = s["server"]["port"]; s["server"].erase("port"); },
         "--json", 1,
         "settings:fail(unknown_member) secret:skip resolve:skip connect:skip tls:skip oauth:skip status:skip "
         "websocket:skip log:skip"},
        {"missing client id", [](nlohmann::json& s) { s["server"].erase("client_id"); }, "--json", 1,
         "settings:fail(missing_member) secret:skip resolve:skip connect:skip tls:skip oauth:skip status:skip "
         "websocket:skip log:skip"},
        {"the example's placeholder", [](nlohmann::json& s) { s["server"]["client_id"] = "replace-with-the-oauth-client-id"; },
         "--json", 1,
         "settings:fail(placeholder) secret:skip resolve:skip connect:skip tls:skip oauth:skip status:skip "
         "websocket:skip log:skip"},
        {"log folder missing",
         [](nlohmann::json& s) { s["logging"] = {{"level", "info"}, {"file_name", "C:\\no-such-folder\\tly.log"}}; },
         "--json", 1,
         "settings:pass secret:pass resolve:pass connect:pass tls:pass oauth:pass status:pass websocket:pass "
         "log:fail(log_folder_missing)"},
        {"unknown log level", [](nlohmann::json& s) { s["logging"] = {{"level", "verbose"}}; }, "--json", 1,
         "settings:pass secret:pass resolve:pass connect:pass tls:pass oauth:pass status:pass websocket:pass "
         "log:fail(log_level_unknown)"},
        // Last: the server stops listening.
        {"server unreachable", [&](nlohmann::json&) { sim.Call("POST", "/server/stop"); }, "--json", 1,
         "settings:pass secret:pass resolve:pass connect:fail(tcp_unreachable) tls:skip oauth:skip status:skip "
         "websocket:skip log:pass"},
    };

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Installation installation;
        nlohmann::json settings = GoodSettings(sim);
        c.arrange(settings);
        const std::string written = settings.dump(2);
        installation.Dir().Write("tallyport_settings.json", written);

        const CheckRun run = installation.Run(c.arguments);
        EXPECT_EQ(run.exitCode, c.exitCode);
        EXPECT_EQ(Verdicts(run.report), c.verdicts) << run.output;
        EXPECT_EQ(installation.Dir().Read("tallyport_settings.json"), written);
        EXPECT_EQ(run.output.find(settings["server"]["client_secret"].get<std::string>()), std::string::npos);
        EXPECT_EQ(run.output.find(secret), std::string::npos);
        if (c.exitCode == 0 && std::string(c.arguments).find("--panel 1") != std::string::npos) {
            EXPECT_EQ(StepData(run.report, "panel")["pending_activities"], 1) << run.output;
            EXPECT_EQ(run.report["dll_version"], TLY_VERSION_TEXT);
        }
    }

    // Looking at the activity waiting for panel 1 did not mark it.
    const nlohmann::json activities = sim.Call("GET", "/activities");
    EXPECT_EQ(activities["pending_count"], 1);
    EXPECT_TRUE(activities["marks"].empty()) << activities.dump();
}

// An activity the translator holds back is listed for its panel until the
// operator releases it; the release needs the host stopped.
TEST(TallyportCheck, HeldBackActivitiesAreListedAndReleased) {
    Simulator sim;
    Installation installation;
    installation.Dir().Write("tallyport_settings.json", GoodSettings(sim).dump(2));
    for (int start = 0; start < 3; ++start) {
        DeliveryJournal journal;  // a host that ends twice inside the call-back
        ASSERT_TRUE(journal.Open(installation.Dir().Path()));
        if (start < 2) journal.BeginDelivery(1, 4711, 99, R"({"adm_id":4711,"badge_no":99})");
    }

    CheckRun run = installation.Run("--json --panel 1");
    EXPECT_EQ(run.exitCode, 1u) << run.output;
    EXPECT_NE(Verdicts(run.report).find("held_back:fail(held_back)"), std::string::npos) << run.output;
    EXPECT_EQ(StepData(run.report, "held_back")["activities"][0]["adm_id"], 4711) << run.output;

    {
        DeliveryJournal host;
        ASSERT_TRUE(host.Open(installation.Dir().Path()));
        EXPECT_EQ(installation.Run("--release-held 1:4711").exitCode, 1u) << "not while the host runs";
    }
    EXPECT_EQ(installation.Run("--release-held 1:4711").exitCode, 0u);
    EXPECT_EQ(installation.Run("--release-held 1:x").exitCode, 1u);
    run = installation.Run("--json --panel 1");
    EXPECT_NE(Verdicts(run.report).find("held_back:pass"), std::string::npos) << run.output;
}

TEST(TallyportCheck, TheTextReportPassesWithoutShowingTheSecret) {
    Simulator sim;
    Installation installation;
    installation.Dir().Write("tallyport_settings.json", GoodSettings(sim).dump(2));
    const CheckRun run = installation.Run("");
    EXPECT_EQ(run.exitCode, 0u) << run.output;
    EXPECT_EQ(run.output.find(sim.ClientSecret()), std::string::npos) << run.output;
}

TEST(TallyportCheck, HostTypeLibraryComparisonAndUsage) {
    Installation installation;
    const std::string ownLibrary = installation.Dir().File("TallyportAccessControlTranslator.dll");

    CheckRun run = installation.Run("--json --host-typelib \"" + ownLibrary + "\"");
    EXPECT_EQ(run.exitCode, 0u) << run.output;
    EXPECT_EQ(Verdicts(run.report), "host_typelib:pass");

    run = installation.Run("--json --host-typelib \"" + WindowsPath(TLY_MISMATCH_TYPELIB) + "\"");
    EXPECT_EQ(run.exitCode, 1u) << run.output;
    EXPECT_EQ(Verdicts(run.report), "host_typelib:fail(typelib_mismatch)");
    EXPECT_EQ(StepData(run.report, "host_typelib")["mismatches"],
              (nlohmann::json{{{"interface", "IOutput"},
                               {"method", "Ors_SetAlarmOutputTZ"},
                               {"aspect", "argument bytes"},
                               {"ours", "4"},
                               {"host", "8"}}}))
        << run.output;

    for (const char* arguments : {"--panel x", "--host-typelib"}) {
        EXPECT_EQ(installation.Run(arguments).exitCode, 2u) << arguments;
    }
}

}  // namespace
}  // namespace tly::test
