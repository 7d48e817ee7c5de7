// The field check as a technician runs it: a copy of tallyport-check.exe beside
// a copy of the DLL and a settings file, against a private simulator. The
// assertions are the steps' verdicts and reasons, never their wording. These
// copies are never registered, so the registration step fails in every run
// here (tests/dist sees it pass from a registered folder) and the check exits 1.

#include "TallyportVersion.h"
#include "api/DeliveryJournal.h"
#include "api/StatusFile.h"
#include "platform/UniqueResource.h"
#include "settings/SecretProtection.h"
#include "tests/support/Simulator.h"
#include "tests/support/TempModuleDirectory.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace tly::test {
namespace {

constexpr DWORD kRunTimeoutMs = 90000;
// A line as the translator's log writes it.
constexpr char kLogLine[] =
    R"({"component":"c","event":"e","level":"info","process_id":1,"thread_id":2,"timestamp":"2024-03-05T14:07:09.042"})"
    "\r\n";

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

// "step:verdict" of every step in order, and the reason of each that failed
// or warned; the registration's reason depends on what other tests have registered
// meanwhile (nothing, or a folder of their own), so it is left out.
std::string Verdicts(const nlohmann::json& report) {
    std::string text;
    if (!report.is_object()) return "no report";
    for (const auto& step : report.value("steps", nlohmann::json::array())) {
        text += (text.empty() ? "" : " ") + step.value("step", "?") + ":" + step.value("verdict", "?");
        if (step.contains("reason") && (step["verdict"] == "fail" || step["verdict"] == "warn") &&
            step["step"] != "registration") {
            text += "(" + step["reason"].get<std::string>() + ")";
        }
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

// This machine's UTC time a day from now, as the server writes its clock.
std::string DayAheadUtc() {
    FILETIME now{};
    ::GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER ticks{{now.dwLowDateTime, now.dwHighDateTime}};
    ticks.QuadPart += 24ull * 3600 * 10000000;
    const FILETIME later{ticks.LowPart, ticks.HighPart};
    SYSTEMTIME t{};
    ::FileTimeToSystemTime(&later, &t);
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02uZ", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
                  t.wSecond);
    return text;
}

// The SID of the account the tests run as, in its string form.
std::string CurrentUserSid() {
    UniqueHandle token;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put())) return {};
    BYTE buffer[256] = {};
    DWORD size = 0;
    if (!::GetTokenInformation(token.get(), TokenUser, buffer, sizeof(buffer), &size)) return {};
    char* text = nullptr;
    if (!::ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text)) return {};
    const UniqueLocalMemory owned(text);
    return text;
}

constexpr char kAllPass[] =
    "registration:fail com_object:skip settings:pass secret:pass resolve:pass connect:pass tls:pass oauth:pass status:pass "
    "websocket:pass log:pass folder:pass";

TEST(TallyportCheck, VerdictsAgainstTheSimulatorWithoutChangingAnything) {
    Simulator sim;
    sim.Call("POST", "/site",
             {{"doors", {{{"id", 3}, {"name", "Gate"}, {"external_entry_reader_id", 11}}}},
              {"handhelds", {{{"id", 101}, {"name", "HH-1"}, {"guid", "g-1"}, {"external_id", "1:1"}, {"door_id", 3}}}},
              {"readers",
               {{"1", {{{"id", 11}, {"external_id", "1:1"}, {"name", "Gate in"}, {"guid", "g-1"}, {"door_id", 3}}}}}}});
    sim.Call("POST", "/activities", {{"reader_external_id", "1:1"}, {"badge_no", 4711}, {"notify", false}});
    // Logs of a translator that pinned a certificate it could not save, and
    // of one that saved a pin later.
    Installation logs;
    const auto pinLine = [&](const char* event, const char* level) {
        return nlohmann::json{{"timestamp", "2026-12-10T10:00:00.000"},
                              {"level", level},
                              {"component", "tly_api"},
                              {"event", event},
                              {"message", "pin"},
                              {"process_id", 1},
                              {"thread_id", 2},
                              {"fields", {{"thumbprint", sim.AlternateThumbprint()}, {"reason", "read-only"}}}}
                   .dump() +
               "\r\n";
    };
    logs.Dir().Write("unsaved.log", pinLine("tofu.thumbprint_not_saved", "error"));
    logs.Dir().Write("saved-after.log",
                     pinLine("tofu.thumbprint_not_saved", "error") + pinLine("tofu.thumbprint_saved", "info"));

    struct Case {
        const char* name;
        std::function<void(nlohmann::json& settings)> arrange;
        const char* arguments;
        std::string verdicts;
    };
    const std::string secret = sim.ClientSecret();
    const std::vector<Case> cases = {
        {"plain secret, pinned on first use, one panel", [](nlohmann::json&) {}, "--json --panel 1",
         "registration:fail com_object:skip settings:pass secret:pass resolve:pass connect:pass tls:pass oauth:pass status:pass "
         "websocket:pass panel:pass journal:pass held_back:pass log:pass folder:pass"},
        {"protected secret, matching pin",
         [&](nlohmann::json& s) {
             s["server"]["client_secret"] = "DPAPI:" + DpapiEncrypt(secret);
             s["server"]["cert_thumbprint"] = sim.Thumbprint();
         },
         "--json", kAllPass},
        {"wrong secret", [](nlohmann::json& s) { s["server"]["client_secret"] = "not-the-secret"; }, "--json",
         "registration:fail com_object:skip settings:pass secret:pass resolve:pass connect:pass tls:pass "
         "oauth:fail(credentials_rejected) status:skip "
         "websocket:skip log:pass folder:pass"},
        {"another certificate than the pinned one",
         [&](nlohmann::json& s) { s["server"]["cert_thumbprint"] = sim.AlternateThumbprint(); }, "--json",
         "registration:fail com_object:skip settings:pass secret:pass resolve:pass connect:pass tls:fail(thumbprint_mismatch) "
         "oauth:skip status:skip "
         "websocket:skip log:pass folder:pass"},
        {"platform validation of a self-signed certificate",
         [](nlohmann::json& s) { s["server"]["validate_cert"] = true; }, "--json",
         "registration:fail com_object:skip settings:pass secret:pass resolve:pass connect:pass tls:fail(certificate_untrusted) "
         "oauth:skip status:skip "
         "websocket:skip log:pass folder:pass"},
        {"event channel refused",
         [&](nlohmann::json&) {
             sim.Call("POST", "/ws/refuse", {{"status", 403}, {"count", 1}});
         },
         "--json",
         "registration:fail com_object:skip settings:pass secret:pass resolve:pass connect:pass tls:pass oauth:pass status:pass "
         "websocket:fail(websocket_refused) log:pass folder:pass"},
        {"secret protected elsewhere", [](nlohmann::json& s) { s["server"]["client_secret"] = "DPAPI:AAECAwQFBgcI"; },
         "--json",
         "registration:fail com_object:skip settings:pass secret:fail(secret_undecryptable) resolve:pass connect:pass tls:pass "
         "oauth:skip status:skip "
         "websocket:skip log:pass folder:pass"},
        {"wrongly typed member", [](nlohmann::json& s) { s["server"]["port"] = "443"; }, "--json",
         "registration:fail com_object:skip settings:fail(settings_wrong_type) secret:skip resolve:skip connect:skip tls:skip "
         "oauth:skip status:skip "
         "websocket:skip log:skip folder:skip"},
        {"unknown log level",
         [](nlohmann::json& s) {
             s["logging"] = {{"level", "verbose"}};
         },
         "--json",
         "registration:fail com_object:skip settings:pass secret:pass resolve:pass connect:pass tls:pass oauth:pass status:pass "
         "websocket:pass "
         "log:fail(log_level_unknown) folder:pass"},
        {"misspelt member",
         [](nlohmann::json& s) {
             s["server"]["Port"] = s["server"]["port"];
             s["server"].erase("port");
         },
         "--json",
         "registration:fail com_object:skip settings:fail(unknown_member) secret:skip resolve:skip connect:skip tls:skip oauth:skip "
         "status:skip websocket:skip log:skip folder:skip"},
        {"missing client id", [](nlohmann::json& s) { s["server"].erase("client_id"); }, "--json",
         "registration:fail com_object:skip settings:fail(missing_member) secret:skip resolve:skip connect:skip tls:skip oauth:skip "
         "status:skip websocket:skip log:skip folder:skip"},
        {"the example's placeholder",
         [](nlohmann::json& s) { s["server"]["client_id"] = "replace-with-the-oauth-client-id"; }, "--json",
         "registration:fail com_object:skip settings:fail(placeholder) secret:skip resolve:skip connect:skip tls:skip oauth:skip "
         "status:skip websocket:skip log:skip folder:skip"},
        {"log file not ending in .log",
         [](nlohmann::json& s) { s["logging"] = {{"level", "info"}, {"file_name", "tallyport_settings.json"}}; },
         "--json",
         "registration:fail com_object:skip settings:pass secret:pass resolve:pass connect:pass tls:pass oauth:pass status:pass "
         "websocket:pass log:fail(log_file_refused) folder:pass"},
        {"log folder missing",
         [](nlohmann::json& s) { s["logging"] = {{"level", "info"}, {"file_name", "C:\\no-such-folder\\tly.log"}}; },
         "--json",
         "registration:fail com_object:skip settings:pass secret:pass resolve:pass connect:pass tls:pass oauth:pass status:pass "
         "websocket:pass log:fail(log_folder_missing) folder:pass"},
        {"a pin the translator could not save",
         [&](nlohmann::json& s) { s["logging"] = {{"level", "info"}, {"file_name", logs.Dir().File("unsaved.log")}}; },
         "--json",
         "registration:fail com_object:skip settings:pass secret:pass resolve:pass connect:pass tls:fail(pin_not_saved) oauth:skip "
         "status:skip websocket:skip log:pass folder:pass"},
        {"a pin saved after one that could not be",
         [&](nlohmann::json& s) {
             s["logging"] = {{"level", "info"}, {"file_name", logs.Dir().File("saved-after.log")}};
         },
         "--json", kAllPass},
        {"plain secret kept in clear by the debug switch",
         [](nlohmann::json& s) { s["debug"] = {{"plaintext_secret", true}}; }, "--json",
         "registration:fail com_object:skip settings:pass secret:warn(secret_stored_in_clear) resolve:pass "
         "connect:pass tls:pass oauth:pass status:pass websocket:pass log:pass folder:pass"},
        {"protected secret the debug switch writes back in clear",
         [&](nlohmann::json& s) {
             s["server"]["client_secret"] = "DPAPI:" + DpapiEncrypt(secret);
             s["debug"] = {{"plaintext_secret", true}};
         },
         "--json",
         "registration:fail com_object:skip settings:pass secret:warn(secret_stored_in_clear) resolve:pass "
         "connect:pass tls:pass oauth:pass status:pass websocket:pass log:pass folder:pass"},
        {"server clock a day ahead",
         [&](nlohmann::json&) {
             // Every answer of "/status" from now on (the certificate probe asks
             // for it too); the case after this one stops the server.
             sim.AddFault("/api/corvanta/status",
                          {{"status", 200}, {"body", R"({"status":"ok","server_time":")" + DayAheadUtc() + "\"}"},
                           {"count", 0}});
         },
         "--json",
         "registration:fail com_object:skip settings:pass secret:pass resolve:pass connect:pass tls:pass oauth:pass "
         "status:warn(clock_skew) websocket:pass log:pass folder:pass"},
        // Last: the server stops listening.
        {"server unreachable", [&](nlohmann::json&) { sim.Call("POST", "/server/stop"); }, "--json",
         "registration:fail com_object:skip settings:pass secret:pass resolve:pass connect:fail(tcp_unreachable) tls:skip oauth:skip "
         "status:skip "
         "websocket:skip log:pass folder:pass"},
    };

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Installation installation;
        nlohmann::json settings = GoodSettings(sim);
        c.arrange(settings);
        const std::string written = settings.dump(2);
        installation.Dir().Write("tallyport_settings.json", written);

        const CheckRun run = installation.Run(c.arguments);
        EXPECT_EQ(run.exitCode, 1u);
        EXPECT_EQ(Verdicts(run.report), c.verdicts) << run.output;
        EXPECT_EQ(installation.Dir().Read("tallyport_settings.json"), written);
        EXPECT_EQ(run.output.find(settings["server"]["client_secret"].get<std::string>()), std::string::npos);
        EXPECT_EQ(run.output.find(secret), std::string::npos);
        if (std::string(c.name) == "server clock a day ahead") {
            const std::int64_t offset = StepData(run.report, "status")["clock_offset_seconds"].get<std::int64_t>();
            EXPECT_NEAR(offset, 86400, 60) << run.output;
        }
        if (std::string(c.arguments).find("--panel 1") != std::string::npos) {
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
        for (std::int32_t id : {5001, 5002, 5003}) {  // taken, marks failing
            if (start < 2) continue;
            journal.BeginDelivery(id == 5003 ? 2 : 1, id, id, "{}");
            journal.EndDelivery(true);
        }
    }

    CheckRun run = installation.Run("--json --panel 1");
    EXPECT_EQ(run.exitCode, 1u) << run.output;
    EXPECT_NE(Verdicts(run.report).find("held_back:fail(held_back)"), std::string::npos) << run.output;
    EXPECT_EQ(StepData(run.report, "held_back")["activities"][0]["adm_id"], 4711) << run.output;
    EXPECT_NE(Verdicts(run.report).find("journal:pass"), std::string::npos) << run.output;
    const nlohmann::json usage = StepData(run.report, "journal");
    EXPECT_EQ(usage["panels"]["1"]["taken"], 2) << run.output;
    EXPECT_EQ(usage["panels"]["1"]["held_back"], 1) << run.output;
    EXPECT_EQ(usage["taken"], 3) << run.output;
    EXPECT_EQ(usage["file_bytes"], journal::kFileSize) << run.output;

    {
        DeliveryJournal host;
        ASSERT_TRUE(host.Open(installation.Dir().Path()));
        EXPECT_EQ(installation.Run("--release-held 1:4711").exitCode, 1u) << "not while the host runs";
    }
    EXPECT_EQ(installation.Run("--release-held 1:4711").exitCode, 0u);
    run = installation.Run("--json --panel 1");
    EXPECT_NE(Verdicts(run.report).find("held_back:pass"), std::string::npos) << run.output;
}

TEST(TallyportCheck, TheTextReportNamesTheUnregisteredFolderWithoutShowingTheSecret) {
    Simulator sim;
    Installation installation;
    installation.Dir().Write("tallyport_settings.json", GoodSettings(sim).dump(2));
    const CheckRun run = installation.Run("");
    EXPECT_EQ(run.exitCode, 1u) << run.output;
    EXPECT_NE(run.output.find("FAIL  registration"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("1 step failed."), std::string::npos) << run.output;
    EXPECT_EQ(run.output.find(sim.ClientSecret()), std::string::npos) << run.output;
}

// A settings file or a log that cannot be replaced or renamed fails the folder
// step, naming the refused operation; nothing changes. Here another handle
// holds the file without sharing deletion (Wine, run as root, lets any account
// open a read-only file for writing, so access rules cannot be the fault);
// on Windows a denying access rule reaches the same refusal.
TEST(TallyportCheck, TheFolderStepFailsWhereTheSettingsOrTheLogCannotBeReplaced) {
    Simulator sim;
    for (const std::string locked : {"tallyport_settings.json", "tly_translator.log"}) {
        SCOPED_TRACE(locked);
        Installation installation;
        const std::string settings = GoodSettings(sim).dump(2);
        installation.Dir().Write("tallyport_settings.json", settings);
        installation.Dir().Write("tly_translator.log", kLogLine);

        CheckRun run;
        {
            const UniqueFileHandle holder(::CreateFileA(installation.Dir().File(locked).c_str(), GENERIC_READ,
                                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                                        FILE_ATTRIBUTE_NORMAL, nullptr));
            ASSERT_TRUE(holder.valid());
            run = installation.Run("--json");
        }
        EXPECT_EQ(Verdicts(run.report),
                  "registration:fail com_object:skip settings:pass secret:pass resolve:pass connect:pass tls:pass oauth:pass "
                  "status:pass websocket:pass log:pass folder:fail(folder_not_writable)")
            << run.output;
        EXPECT_NE(StepData(run.report, "folder")["refused"].dump().find(locked), std::string::npos) << run.output;
        EXPECT_EQ(installation.Dir().Read("tallyport_settings.json"), settings);
        EXPECT_EQ(installation.Dir().Read("tly_translator.log"), kLogLine);
    }
}

// A program folder that ordinary users may change fails the folder step, and
// passes again once they may not. Wine keeps no access rules of files: it
// reads "others may write" from the Unix mode as Everyone's right, and maps a
// rule that lets Everyone write onto that mode. (Every Wine program runs as
// an administrator, whose own rights the step leaves out: the account's half
// is tested on descriptors in ProgramRightsTest.)
TEST(TallyportCheck, TheFolderStepFailsWhereOrdinaryUsersMayChangeThePrograms) {
    Simulator sim;
    Installation installation;
    installation.Dir().Write("tallyport_settings.json", GoodSettings(sim).dump(2));
    const std::string folder = installation.Dir().Path();
    // The running account keeps its rights: Wine maps them onto the owner's mode bits.
    const std::string account = CurrentUserSid();
    const auto setFolderRules = [&](const char* others) {
        const std::string sddl = "D:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;" + account + ")" + others;
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        ASSERT_TRUE(
            ::ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr));
        const UniqueLocalMemory owned(descriptor);
        BOOL present = FALSE, defaulted = FALSE;
        PACL dacl = nullptr;
        ASSERT_TRUE(::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted));
        ASSERT_EQ(::SetNamedSecurityInfoA(const_cast<char*>(folder.c_str()), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                          nullptr, nullptr, dacl, nullptr),
                  static_cast<DWORD>(ERROR_SUCCESS));
    };
    struct Case {
        const char* name;
        const char* others;  // Everyone's rule
        const char* verdicts;
    } const cases[] = {
        {"everyone may write", "(A;OICI;FA;;;WD)",
         "registration:fail com_object:skip settings:pass secret:pass resolve:pass connect:pass tls:pass oauth:pass status:pass "
         "websocket:pass log:pass folder:fail(programs_writable_by_users)"},
        {"everyone may read", "(A;OICI;0x1200a9;;;WD)", kAllPass},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        setFolderRules(c.others);
        const CheckRun run = installation.Run("--json");
        EXPECT_EQ(Verdicts(run.report), c.verdicts) << run.output;
    }
    const CheckRun run = installation.Run("--json");
    EXPECT_EQ(StepData(run.report, "folder")["account_rights_read"], false) << run.output;
}

// Wine's loader prefers a DLL of these names found the ordinary way (the
// program's folder first) to its own, for one program, as Windows' loader
// does for DLLs that are not "known DLLs"; undone when it goes out of scope.
class NativeFirst {
public:
    NativeFirst(std::string program, std::vector<std::string> names)
        : key_("Software\\Wine\\AppDefaults\\" + program + "\\DllOverrides") {
        for (const std::string& name : names) {
            ::RegSetKeyValueA(HKEY_CURRENT_USER, key_.c_str(), name.c_str(), REG_SZ, "native,builtin",
                              sizeof("native,builtin"));
        }
    }
    ~NativeFirst() { ::RegDeleteTreeA(HKEY_CURRENT_USER, key_.c_str()); }
    NativeFirst(const NativeFirst&) = delete;
    NativeFirst& operator=(const NativeFirst&) = delete;

private:
    std::string key_;
};

// A DLL named like a system DLL beside the check is never loaded, even where
// the loader prefers it to its own: the check takes winhttp and crypt32 from
// the system folder. A program importing them the ordinary way, started from
// the same folder under the same rule, loads the planted ones: the proof that
// they are seen at all.
TEST(TallyportCheck, DllsPlantedBesideTheCheckAreNeverLoaded) {
    Simulator sim;
    Installation installation;
    nlohmann::json settings = GoodSettings(sim);
    settings["server"]["client_secret"] = "DPAPI:" + DpapiEncrypt(sim.ClientSecret());  // crypt32 decrypts it
    installation.Dir().Write("tallyport_settings.json", settings.dump(2));
    const std::vector<std::string> planted = {"winhttp", "crypt32"};
    // Copies, not links: Wine takes a second name of a file it has loaded for that module.
    for (const std::string& name : planted) {
        ASSERT_TRUE(::CopyFileA(WindowsPath(TLY_PLANTED_DLL).c_str(), installation.Dir().File(name + ".dll").c_str(), FALSE));
    }
    PlaceBeside(WindowsPath(TLY_PLANTED_DLL_IMPORTER), installation.Dir().File("planted-importer.exe"));
    const NativeFirst forCheck("tallyport-check.exe", planted);
    const NativeFirst forImporter("planted-importer.exe", planted);

    const CheckRun run = installation.Run("--json");
    EXPECT_EQ(Verdicts(run.report), kAllPass) << run.output;
    for (const std::string& name : planted) {
        EXPECT_FALSE(installation.Dir().Exists(name + ".dll.loaded")) << name << ".dll was loaded by the check";
    }

    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    std::string importer = "\"" + installation.Dir().File("planted-importer.exe") + "\"";
    ASSERT_TRUE(
        ::CreateProcessA(nullptr, importer.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        << ::GetLastError();
    const UniqueHandle processHandle(process.hProcess);
    const UniqueHandle threadHandle(process.hThread);
    EXPECT_EQ(::WaitForSingleObject(processHandle.get(), kRunTimeoutMs), WAIT_OBJECT_0);
    for (const std::string& name : planted) {
        EXPECT_TRUE(installation.Dir().Exists(name + ".dll.loaded")) << name << ".dll was not seen by the importer";
    }
}

// The bundle is searched byte by byte: stored members hold their text as it is.
TEST(TallyportCheck, TheSupportBundleHoldsNeitherTheSecretNorItsStoredForm) {
    Simulator sim;
    Installation installation;
    const std::string blob = DpapiEncrypt(sim.ClientSecret());
    nlohmann::json settings = GoodSettings(sim);
    settings["server"]["client_secret"] = "DPAPI:" + blob;
    installation.Dir().Write("tallyport_settings.json", settings.dump(2));
    // Should a line ever carry them, the bundle still must not.
    installation.Dir().Write("tly_translator.log", R"({"component":"c","event":"a","level":"info","message":")" +
                                                       sim.ClientSecret() +
                                                       R"(","process_id":1,"thread_id":2,"timestamp":"2024-03-05T14:07:09.042"})"
                                                       "\n");
    installation.Dir().Write("tly_translator_bootstrap.log", "{\"message\":\"DPAPI:" + blob + "\"}\n");
    // Rotated files of the log, and the client id as lines name it.
    for (const char* rotated : {"tly_translator.1.log", "tly_translator.2.log"}) {
        installation.Dir().Write(rotated, std::string(kLogLine) + R"({"component":"c","event":"oauth","level":"info",)"
                                              R"("fields":{"client_id":")" + sim.ClientId() + R"("},"message":"client )" +
                                              sim.ClientId() + R"( ROTATED-MARKER","process_id":1,"thread_id":2,)"
                                              R"("timestamp":"2024-03-05T14:07:09.042"})" "\r\n");
    }
    for (int start = 0; start < 3; ++start) {
        DeliveryJournal journal;  // a host that ends twice inside the call-back: one activity held back
        ASSERT_TRUE(journal.Open(installation.Dir().Path()));
        if (start < 2) journal.BeginDelivery(2, 4712, 98, R"({"adm_id":4712,"badge_no":98})");
    }

    installation.Dir().Write("tly_status_2147483644.json", "{\"format\": 1, \"cut short");

    const std::string bundle = installation.Dir().File("support bundle.zip");
    const CheckRun run = installation.Run("--json --bundle \"" + bundle + "\"");
    EXPECT_EQ(run.report["bundle"], bundle) << run.output;
    const std::string bytes = ReadFileBytes(bundle);
    ASSERT_GT(bytes.size(), 22u) << run.output;
    // Nowhere in the zip: not in the report, the logs, the settings or the README.
    ASSERT_NE(run.output.find(sim.ClientId()), std::string::npos) << "the report names the client id";
    for (const std::string& concealed : std::vector<std::string>{sim.ClientSecret(), blob, "DPAPI:", sim.ClientId()}) {
        EXPECT_EQ(bytes.find(concealed), std::string::npos) << concealed;
    }
    EXPECT_NE(bytes.find("\"client_id\": \"<removed>\""), std::string::npos);
    EXPECT_NE(bytes.find("client <removed> ROTATED-MARKER"), std::string::npos);
    // The end record points at the central directory, which names every member.
    const std::size_t end = bytes.size() - 22;
    ASSERT_EQ(bytes.substr(end, 4), std::string("PK\x05\x06", 4));
    std::uint32_t directoryOffset = 0;
    std::memcpy(&directoryOffset, bytes.data() + end + 16, 4);
    ASSERT_LT(directoryOffset, end);
    const std::string directory = bytes.substr(directoryOffset, end - directoryOffset);
    for (const char* member : {"README.txt", "check.json", "versions.txt", "registration.json",
                               "tallyport_settings.json", "tly_translator.log", "tly_translator_bootstrap.log",
                               "held_back.json", "journal.json", "tly_translator.1.log", "tly_translator.2.log",
                               "installation.json", "proxy.json", "clock.json", "status.json",
                               "tly_status_2147483644.json"}) {
        EXPECT_NE(directory.find(member), std::string::npos) << member;
    }
    EXPECT_NE(bytes.find("\"adm_id\": 4712"), std::string::npos);
    EXPECT_NE(bytes.find("\"held_back\": 1,"), std::string::npos) << "the journal's counts";
    EXPECT_NE(bytes.find("\"access_type\": "), std::string::npos) << "WinHTTP's proxy setting";
    EXPECT_NE(bytes.find("\"bias_minutes\": "), std::string::npos) << "the time zone";
    EXPECT_NE(bytes.find("\"server_clock_offset_seconds\": "), std::string::npos) << "the server clock's offset";
    EXPECT_NE(bytes.find("\"this_folder\": "), std::string::npos) << "the installation";
    EXPECT_NE(bytes.find("\"stale_reason\": \"process gone\""), std::string::npos) << "the live status, judged";
    EXPECT_EQ(installation.Dir().Read("tallyport_settings.json"), settings.dump(2));

    EXPECT_EQ(installation.Run("--bundle \"" + installation.Dir().File("no such folder\\b.zip") + "\"").exitCode, 1u);
}

// The bundle takes the log the translator writes, and only a file of the
// log's: not a file the settings name that the log refused, nor a default log
// that someone replaced with a file of their own.
TEST(TallyportCheck, TheSupportBundleTakesNoFileThatIsNotTheLogs) {
    Simulator sim;
    Installation installation;
    nlohmann::json settings = GoodSettings(sim);
    settings["logging"] = {{"level", "info"}, {"file_name", installation.Dir().File("private.log")}};
    installation.Dir().Write("tallyport_settings.json", settings.dump(2));
    installation.Dir().Write("private.log", "PRIVATE-MARKER\r\n");
    struct Case {
        const char* what;
        std::string defaultLog;
        bool bundled;
    };
    const std::string own = std::string(kLogLine) + "OWN-MARKER\r\n";
    for (const Case& c : {Case{"the default log instead of the refused file", own, true},
                          Case{"a default log replaced by someone else's file", "FOREIGN-MARKER\r\n", false}}) {
        SCOPED_TRACE(c.what);
        installation.Dir().Write("tly_translator.log", c.defaultLog);
        const std::string bundle = installation.Dir().File("bundle.zip");
        const CheckRun run = installation.Run("--json --bundle \"" + bundle + "\"");
        const std::string bytes = ReadFileBytes(bundle);
        ASSERT_GT(bytes.size(), 22u) << run.output;
        EXPECT_EQ(bytes.find("PRIVATE-MARKER"), std::string::npos);
        EXPECT_EQ(bytes.find("FOREIGN-MARKER"), std::string::npos);
        EXPECT_EQ(bytes.find("OWN-MARKER") != std::string::npos, c.bundled);
        EXPECT_EQ(bytes.find("tly_translator.log: left out") != std::string::npos, !c.bundled);
        EXPECT_EQ(installation.Dir().Read("private.log"), "PRIVATE-MARKER\r\n");
    }

    // The logs' share is bounded and taken newest first: a live log larger
    // than the bound fills it alone, its end included, and no rotated file
    // follows.
    std::string large;
    while (large.size() <= 8 * 1024 * 1024) large += kLogLine;
    installation.Dir().Write("tly_translator.log", large + "LIVE-END-MARKER\r\n");
    installation.Dir().Write("tly_translator.1.log", std::string(kLogLine) + "ROTATED-MARKER\r\n");
    const std::string bundle = installation.Dir().File("bounded.zip");
    const CheckRun run = installation.Run("--json --bundle \"" + bundle + "\"");
    const std::string bytes = ReadFileBytes(bundle);
    EXPECT_NE(bytes.find("LIVE-END-MARKER"), std::string::npos) << run.output;
    EXPECT_EQ(bytes.find("ROTATED-MARKER"), std::string::npos);
    EXPECT_LT(bytes.size(), 9u * 1024 * 1024);
}

// A status as a running translator writes it, for the process given, with
// its heartbeat now.
std::string LiveStatusText(std::uint32_t processId) {
    SYSTEMTIME now;
    ::GetSystemTime(&now);
    StatusReport report;
    report.process = {"1.0.0", StatusTime(now), processId, "loaded", "", 65536, StatusTime(now)};
    PanelStatus panel;
    panel.panelId = 3;
    panel.link = "up";
    panel.linkSince = StatusTime(now);
    report.panels.push_back(panel);
    return RenderStatus(report);
}

// --status reads what running translators write beside the log: 0 when
// every one is live, 1 when there is none or one is stale.
TEST(TallyportCheck, TheLiveStatusAsJsonAsATableAndWatched) {
    Installation installation;
    CheckRun run = installation.Run("--status --json");
    EXPECT_EQ(run.exitCode, 1u) << run.output;
    EXPECT_EQ(run.report["processes"], nlohmann::json::array()) << run.output;

    // This test's own process stands for a running host.
    installation.Dir().Write(StatusFileName(::GetCurrentProcessId()), LiveStatusText(::GetCurrentProcessId()));
    run = installation.Run("--status --json");
    EXPECT_EQ(run.exitCode, 0u) << run.output;
    ASSERT_EQ(run.report["processes"].size(), 1u) << run.output;
    EXPECT_EQ(run.report["processes"][0]["stale"], false);
    EXPECT_EQ(run.report["processes"][0]["status"]["panels"][0]["panel_id"], 3);

    // A host killed: its file stays, and reads as stale.
    constexpr std::uint32_t kGone = 2147483644;
    installation.Dir().Write(StatusFileName(kGone), LiveStatusText(kGone));
    run = installation.Run("--status --json");
    EXPECT_EQ(run.exitCode, 1u) << run.output;
    ASSERT_EQ(run.report["processes"].size(), 2u) << run.output;
    for (const nlohmann::json& process : run.report["processes"]) {
        const bool gone = process["status"]["process"]["process_id"] == kGone;
        EXPECT_EQ(process["stale"], gone) << run.output;
        if (gone) EXPECT_EQ(process["stale_reason"], "process gone") << run.output;
    }

    run = installation.Run("--status");
    EXPECT_EQ(run.exitCode, 1u) << run.output;
    EXPECT_NE(run.output.find("STALE (process gone)"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find(": live,"), std::string::npos) << run.output;

    // Not a console here: each picture follows the last, and the count ends it.
    run = installation.Run("--status --watch --refreshes 2");
    EXPECT_EQ(run.exitCode, 1u) << run.output;
    std::size_t pictures = 0;
    for (std::size_t at = run.output.find("Ctrl+C ends"); at != std::string::npos;
         at = run.output.find("Ctrl+C ends", at + 1)) {
        ++pictures;
    }
    EXPECT_EQ(pictures, 2u) << run.output;
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
    EXPECT_EQ(StepData(run.report, "host_typelib")["mismatches"], (nlohmann::json{{{"interface", "IOutput"},
                                                                                   {"method", "Ors_SetAlarmOutputTZ"},
                                                                                   {"aspect", "argument bytes"},
                                                                                   {"ours", "4"},
                                                                                   {"host", "8"}}}))
        << run.output;

    for (const char* arguments : {"--panel x", "--host-typelib", "--bundle", "--host-typelib x.tlb --bundle b.zip",
                                  "--release-held", "--release-held 1:x", "--release-held 1", "--release-held :4711",
                                  "--release-held 1:99999999999", "--watch", "--refreshes 2", "--status --refreshes 2",
                                  "--status --watch --refreshes 0", "--status --watch --refreshes x",
                                  "--status --watch --json", "--status --panel 1", "--status --bundle b.zip",
                                  "--status --release-held 1:2"}) {
        EXPECT_EQ(installation.Run(arguments).exitCode, 2u) << arguments;
    }
    run = installation.Run("--version");
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(run.output.rfind(std::string("tallyport-check ") + TLY_VERSION_TEXT, 0), 0u) << run.output;
    EXPECT_NE(run.output.find(std::string("translator ") + TLY_VERSION_TEXT + " " + ownLibrary), std::string::npos)
        << run.output;
}

}  // namespace
}  // namespace tly::test
