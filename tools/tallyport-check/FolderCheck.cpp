#include "tools/tallyport-check/FolderCheck.h"

#include "logging/Log.h"
#include "platform/UniqueResource.h"

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

}  // namespace

StepResult CheckFolder(const std::string& settingsPath, const TranslatorSettings& settings) {
    const std::vector<Refusal> refusals = Refusals(settingsPath, settings);
    StepResult result;
    if (refusals.empty()) {
        result = StepResult::Passed(kStep, "this account can rewrite the settings file and rotate the log");
    } else {
        result = StepResult::Failed(
            kStep, "folder_not_writable",
            "this account cannot " + refusals.front().what + " (error=" + std::to_string(refusals.front().error) + ")",
            "run the check as the host's account; give that account write access to the folder's settings and log "
            "files and the right to create files in the folder (the MSI does so for the account in HOSTACCOUNT)");
        for (const Refusal& refusal : refusals) {
            result.listing.push_back("cannot " + refusal.what + " (error=" + std::to_string(refusal.error) + ")");
        }
    }
    nlohmann::json refused = nlohmann::json::array();
    for (const Refusal& refusal : refusals) refused.push_back({{"operation", refusal.what}, {"error", refusal.error}});
    result.data = {{"refused", refused}};
    return result;
}
