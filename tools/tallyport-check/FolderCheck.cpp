#include "tools/tallyport-check/FolderCheck.h"

#include "logging/Log.h"
#include "platform/UniqueResource.h"
#include "tools/tallyport-check/ProgramRights.h"

#include <windows.h>

#include <vector>

namespace {

constexpr char kStep[] = "folder";
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

struct Refusal {
    std::string what;  // "create a file in ...", "replace ..."
    DWORD error = 0;
};

bool Exists(const std::string& path) { return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// Opens the file with the access and closes it untouched; false with the error.
bool CanOpen(const std::string& path, DWORD access, DWORD& error) {
    const tly::UniqueFileHandle file(
        ::CreateFileA(path.c_str(), access, kShareAll, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    error = file ? 0 : ::GetLastError();
    return static_cast<bool>(file);
}

// A new file beside path, as the translator's temporary file or a rotated log
// would be, removed again when closed.
bool CanCreateBeside(const std::string& path, DWORD& error) {
    const std::string probe = path + ".check." + std::to_string(::GetCurrentProcessId()) + ".tmp";
    const tly::UniqueFileHandle file(::CreateFileA(probe.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                                                   FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    error = file ? 0 : ::GetLastError();
    return static_cast<bool>(file);
}

std::vector<Refusal> Refusals(const std::string& settingsPath, const TranslatorSettings& settings) {
    std::vector<Refusal> refusals;
    DWORD error = 0;
    // The settings rewrite: a temporary file beside it, renamed over it (which
    // needs delete access to the old file), or an overwrite in place.
    if (!CanCreateBeside(settingsPath, error)) refusals.push_back({"create a file beside " + settingsPath, error});
    if (!CanOpen(settingsPath, GENERIC_WRITE | DELETE, error)) {
        refusals.push_back({"replace " + settingsPath, error});
    }
    // The rotation: every existing log file renamed one number up, the last
    // one deleted, and a new log file created. A log folder that does not
    // exist is the log step's finding, not a question of rights. The log is
    // the file the translator writes: the default one when the named one is refused.
    const std::string log = ChooseLogFile(settings).path;
    const std::size_t separator = log.find_last_of("\\/");
    if (separator != std::string::npos && !Exists(log.substr(0, separator))) return refusals;
    if (Exists(log) && !CanOpen(log, FILE_APPEND_DATA | DELETE, error)) refusals.push_back({"rotate " + log, error});
    const auto rotatedFiles = static_cast<unsigned>(settings.max_log_files > 0 ? settings.max_log_files : 0);
    for (unsigned n = 1; n <= rotatedFiles; ++n) {
        const std::string rotated = RotatedLogName(log, n);
        if (!Exists(rotated)) break;
        if (!CanOpen(rotated, DELETE, error)) refusals.push_back({"rotate " + rotated, error});
    }
    if (!CanCreateBeside(log, error)) refusals.push_back({"create a file beside " + log, error});
    return refusals;
}

// Who besides administrators could change one of the programs.
struct ProgramFinding {
    std::string path;
    ACCESS_MASK users = 0;    // Everyone, Authenticated Users, Users
    ACCESS_MASK account = 0;  // the account the check runs as, by itself
    DWORD error = 0;          // the rights could not be read
};

struct ProgramsReading {
    std::vector<ProgramFinding> findings;  // only the programs someone could change, or unreadable
    bool accountKnown = false;
    bool administrator = false;
};

ProgramsReading ReadProgramRights(const std::vector<std::string>& programs) {
    ProgramsReading reading;
    Trustees account;
    DWORD error = 0;
    reading.accountKnown = RunningAccount(account, reading.administrator, error);
    const Trustees users = OrdinaryUsers();
    for (const std::string& path : programs) {
        ProgramFinding finding{path};
        const tly::UniqueLocalMemory descriptor = ReadSecurityDescriptor(path, finding.error);
        if (descriptor) {
            finding.users = GrantedRights(descriptor.get(), users) & kChangingRights;
            // An administrator may change the programs: what such an account
            // holds says nothing about the host's account.
            if (reading.accountKnown && !reading.administrator) {
                finding.account = GrantedRights(descriptor.get(), account) & kChangingRights;
            }
        }
        if (finding.error || finding.users || finding.account) reading.findings.push_back(std::move(finding));
    }
    return reading;
}

std::string RightsText(ACCESS_MASK rights) {
    std::string text;
    for (const std::string& name : ChangingRightNames(rights)) text += (text.empty() ? "" : ", ") + name;
    return text;
}

nlohmann::json RightsJson(ACCESS_MASK rights) {
    nlohmann::json names = nlohmann::json::array();
    for (const std::string& name : ChangingRightNames(rights)) names.push_back(name);
    return names;
}

constexpr char kProgramsHint[] =
    "only administrators may change the program folder and the programs (a DLL put there runs in the host and in "
    "whoever starts the check): install them under Program Files with the MSI, or remove every right to write, "
    "delete or change rights there that is not the administrators'; the host's account writes only in the data "
    "folder (DEPLOYING.txt, Security)";

}  // namespace

StepResult CheckFolder(const std::string& settingsPath, const TranslatorSettings& settings,
                       const std::vector<std::string>& programs) {
    const ProgramsReading programRights = ReadProgramRights(programs);
    const std::vector<Refusal> refusals = Refusals(settingsPath, settings);

    // What fails the step, the broadest finding first: every account, this
    // account, rights that could not be read, then the data folder.
    struct Failure {
        const char* reason;
        std::string line;
    };
    std::vector<Failure> failures;
    for (const ProgramFinding& finding : programRights.findings) {
        if (finding.users) {
            failures.push_back({"programs_writable_by_users", "ordinary users (Everyone, Authenticated Users or "
                                                              "Users) can " + RightsText(finding.users) + ": " +
                                                                  finding.path});
        }
    }
    for (const ProgramFinding& finding : programRights.findings) {
        if (finding.account) {
            failures.push_back({"programs_writable_by_account",
                                "this account can " + RightsText(finding.account) + ": " + finding.path});
        }
    }
    for (const ProgramFinding& finding : programRights.findings) {
        if (finding.error) {
            failures.push_back({"programs_rights_unreadable", "cannot read who may change " + finding.path +
                                                                  " (error=" + std::to_string(finding.error) + ")"});
        }
    }
    for (const Refusal& refusal : refusals) {
        failures.push_back({"folder_not_writable",
                            "cannot " + refusal.what + " (error=" + std::to_string(refusal.error) + ")"});
    }

    StepResult result;
    if (failures.empty()) {
        const bool accountRead = programRights.accountKnown && !programRights.administrator;
        result = StepResult::Passed(
            kStep, std::string(accountRead ? "only administrators can change the programs"
                                           : "ordinary users cannot change the programs (run as an administrator: "
                                             "this account's own rights were not read)") +
                       "; this account can rewrite the settings file and rotate the log");
    } else {
        const std::string reason = failures.front().reason;
        const bool dataFolder = reason == "folder_not_writable";
        result = StepResult::Failed(
            kStep, reason.c_str(),
            dataFolder ? "this account " + failures.front().line : failures.front().line,
            dataFolder ? "run the check as the host's account; give that account write access to the folder's "
                         "settings and log files and the right to create files in the folder (the MSI does so for "
                         "the account in HOSTACCOUNT)"
                       : reason == "programs_rights_unreadable"
                             ? "let this account read the rights of the program folder and the programs (it needs "
                               "to read and run them anyway), and run the check again"
                             : kProgramsHint);
        for (const Failure& failure : failures) result.listing.push_back(failure.line);
    }
    nlohmann::json refused = nlohmann::json::array();
    for (const Refusal& refusal : refusals) refused.push_back({{"operation", refusal.what}, {"error", refusal.error}});
    nlohmann::json changeable = nlohmann::json::array();
    for (const ProgramFinding& finding : programRights.findings) {
        nlohmann::json item = {{"path", finding.path}};
        if (finding.users) item["users_can"] = RightsJson(finding.users);
        if (finding.account) item["account_can"] = RightsJson(finding.account);
        if (finding.error) item["error"] = finding.error;
        changeable.push_back(std::move(item));
    }
    result.data = {{"refused", refused},
                   {"programs", programs},
                   {"programs_changeable", changeable},
                   // Run as an administrator, the account's own rights are not
                   // read (see above): run the check as the host's account.
                   {"account_rights_read", programRights.accountKnown && !programRights.administrator}};
    return result;
}
