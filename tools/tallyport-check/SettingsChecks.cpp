#include "tools/tallyport-check/SettingsChecks.h"

#include "logging/DataFolderRecord.h"
#include "logging/Log.h"
#include "platform/UniqueResource.h"
#include "tools/tallyport-check/RegistrationCheck.h"

#include <windows.h>

namespace {

constexpr char kSettingsStep[] = "settings";
constexpr char kLogStep[] = "log";
constexpr char kLogFileRefusedHint[] =
    "name a file ending in .log in \"logging\".\"file_name\" that does not exist yet, or that holds this log, "
    "in a folder that is no link";

// Values the translator accepts but that cannot work: what is wrong, or empty.
std::string UnusableValue(const TranslatorSettings& settings) {
    if (settings.port < 1 || settings.port > 65535) return "member \"server\".\"port\" must be between 1 and 65535";
    return {};
}

const char* FindingHint(SettingsFinding::Kind kind) {
    switch (kind) {
        case SettingsFinding::Kind::UnknownMember:
            return "correct the member's name (names are case-sensitive) or remove it";
        case SettingsFinding::Kind::MissingMember:
            return "fill in the server's host name and port and the OAuth client id and secret";
        case SettingsFinding::Kind::Placeholder:
            return "replace the example file's values with this site's server and OAuth client";
        case SettingsFinding::Kind::HostnameNotAName:
            return "write only the server's name or address in \"hostname\", and its port in \"port\"";
        case SettingsFinding::Kind::SurroundingSpaces:
            return "remove the spaces inside the quotes";
        case SettingsFinding::Kind::LogFolderMissing:
            return "create the folder, or name a file in an existing folder";
        case SettingsFinding::Kind::LogFileRefused:
            return kLogFileRefusedHint;
        case SettingsFinding::Kind::LogLevelUnknown:
            return "use one of none, error, warn, info, debug, trace";
        case SettingsFinding::Kind::DuplicateMember:
            return "keep one of the two and remove the other";
        case SettingsFinding::Kind::ControlCharacter:
            return "in JSON write each backslash as \\\\ (as \"C:\\\\Logs\\\\tly_translator.log\"), or use /";
        case SettingsFinding::Kind::DefaultUsed:
            return "write a size of 1 or more megabytes and a count of 0 or more files";
    }
    return "";
}

// Every finding fails the step: the first gives the reason, all are listed.
StepResult FindingsFailure(const std::vector<SettingsFinding>& findings) {
    const SettingsFinding& first = findings.front();
    StepResult result = StepResult::Failed(kSettingsStep, FindingReason(first.kind), first.text, FindingHint(first.kind));
    nlohmann::json listed = nlohmann::json::array();
    for (const SettingsFinding& finding : findings) {
        if (findings.size() > 1) result.listing.push_back(finding.text);
        nlohmann::json item = {{"reason", FindingReason(finding.kind)}, {"member", finding.member}};
        if (!finding.suggestion.empty()) item["did_you_mean"] = finding.suggestion;
        listed.push_back(std::move(item));
    }
    result.data = {{"findings", std::move(listed)}};
    return result;
}

}  // namespace

StepResult CheckSettingsFile(const std::string& path, const SettingsInspection& inspection,
                             const TranslatorSettings& settings) {
    using Outcome = SettingsInspection::Outcome;
    switch (inspection.outcome) {
        case Outcome::Missing:
            if (!inspection.problem.empty()) {
                return StepResult::Failed(kSettingsStep, "settings_misnamed", inspection.problem,
                                          "rename the file; in Explorer, View, tick \"File name extensions\" to see "
                                          "the whole name");
            }
            if (const DataFolderLookup& data = InstalledDataFolder(); data.missing) {
                return StepResult::Failed(kSettingsStep, "data_folder_missing",
                                          "the data folder " + data.directory + " that the installer recorded does "
                                          "not exist (error=" + std::to_string(data.win32Error) + ")",
                                          "repair the installation (" + MsiRepairCommand() +
                                              "), which creates the folder with the host account's rights, then "
                                              "put the settings file there");
            } else if (data.recorded) {
                return StepResult::Failed(kSettingsStep, "settings_missing", path + " does not exist",
                                          "copy tallyport_settings.example.json from the program folder to "
                                          "tallyport_settings.json in the data folder " + data.directory +
                                          " and fill in the server and the OAuth client");
            }
            return StepResult::Failed(kSettingsStep, "settings_missing", path + " does not exist",
                                      "copy tallyport_settings.example.json to tallyport_settings.json beside the DLL "
                                      "and fill in the server and the OAuth client");
        case Outcome::Unreadable:
            return StepResult::Failed(kSettingsStep, "settings_unreadable", path + " " + inspection.problem,
                                      "let this account (and the host's) read the file");
        case Outcome::NotJson:
            return StepResult::Failed(kSettingsStep, inspection.reason ? inspection.reason : "settings_not_json",
                                      "not valid JSON: " + inspection.problem,
                                      "fix the file at that place and save it as UTF-8 (JSON wants double quotes, "
                                      "\\\\ for a backslash, no comments and no trailing commas)");
        case Outcome::OldVersion:
            return StepResult::Failed(kSettingsStep, "settings_old_version", inspection.problem,
                                      "set \"version\" to 2; the translator ignores older files");
        case Outcome::WrongType:
            return StepResult::Failed(kSettingsStep, "settings_wrong_type", inspection.problem,
                                      "give that member a value of the type named");
        case Outcome::Loaded:
            break;
    }
    if (!inspection.findings.empty()) return FindingsFailure(inspection.findings);
    if (const std::string problem = UnusableValue(settings); !problem.empty()) {
        return StepResult::Failed(kSettingsStep, "settings_incomplete", problem,
                                  "set the server's port between 1 and 65535");
    }
    StepResult result = StepResult::Passed(
        kSettingsStep, "valid: server " + settings.hostname + ":" + std::to_string(settings.port) + ", client id " +
                           settings.client_id + ", certificate validation " + (settings.validate_cert ? "on" : "off"));
    result.data = {{"path", path},
                   {"hostname", settings.hostname},
                   {"port", settings.port},
                   {"client_id", settings.client_id},
                   {"validate_cert", settings.validate_cert},
                   {"cert_thumbprint", settings.cert_thumbprint}};
    return result;
}

StepResult CheckSecret(const SettingsInspection& inspection, const TranslatorSettings& settings) {
    using Secret = SettingsInspection::Secret;
    constexpr char kStep[] = "secret";
    // With "debug"."plaintext_secret" true the translator keeps the secret in
    // plain text: it never encrypts it, and decrypts a stored one back.
    constexpr char kKeptInClear[] = "secret_stored_in_clear";
    constexpr char kEncryptHint[] =
        "set \"debug\".\"plaintext_secret\" to false (or remove it): the translator then encrypts the secret for "
        "its account at its next start";
    const bool keptPlain = settings.plaintext_secret;
    StepResult result;
    switch (inspection.secret) {
        case Secret::Empty:
            result = StepResult::Failed(kStep, "secret_missing", "\"server\".\"client_secret\" is empty",
                                        keptPlain ? "type the OAuth client secret into \"client_secret\""
                                                  : "type the OAuth client secret into \"client_secret\" in plain "
                                                    "text; the translator encrypts it at its next start");
            break;
        case Secret::Plain:
            result = keptPlain ? StepResult::Warned(kStep, kKeptInClear,
                                                    "plain text, and it stays so: \"debug\".\"plaintext_secret\" "
                                                    "is true, so anyone who can read the settings file reads the "
                                                    "secret",
                                                    kEncryptHint)
                               : StepResult::Passed(
                                     kStep, "plain text; the translator encrypts it for its account at its next start");
            break;
        case Secret::Protected:
            result = keptPlain
                         ? StepResult::Warned(kStep, kKeptInClear,
                                              "protected (DPAPI) and readable by this account, but "
                                              "\"debug\".\"plaintext_secret\" is true: the translator writes it "
                                              "back in plain text at its next start",
                                              kEncryptHint)
                         : StepResult::Passed(kStep, "protected (DPAPI) and readable by this account on this machine");
            break;
        case Secret::Undecryptable:
            result = StepResult::Failed(
                kStep, "secret_undecryptable",
                "protected (DPAPI) for another Windows account or machine: it cannot be decrypted here",
                "run the check as the account the host runs under; if that fails too, type the plaintext secret over "
                "the \"DPAPI:...\" value and restart the host");
            break;
    }
    static const char* const kForms[] = {"empty", "plain", "protected", "undecryptable"};
    result.data = {{"form", kForms[static_cast<int>(inspection.secret)]}, {"plaintext_secret", keptPlain}};
    return result;
}

StepResult CheckLogFile(const TranslatorSettings& settings) {
    const std::string level = settings.log_level.empty() ? "none" : settings.log_level;
    // A refused file is not opened at all: the translator would not write it.
    const LogFileChoice choice = ChooseLogFile(settings);
    if (!choice.refusal.empty()) {
        StepResult result = StepResult::Failed(kLogStep, "log_file_refused",
                                               choice.named + " is not used as the log: " + choice.description +
                                                   "; the translator writes " + choice.path + " instead",
                                               kLogFileRefusedHint);
        result.data = {{"path", choice.path}, {"level", level}, {"log_file", choice.named}, {"refusal", choice.refusal}};
        return result;
    }
    const std::string& path = choice.path;
    const LogLevel threshold = ParseLogLevel(level, static_cast<LogLevel>(-1));
    if (threshold == static_cast<LogLevel>(-1)) {
        StepResult result = StepResult::Failed(kLogStep, "log_level_unknown",
                                               "\"logging\".\"level\" \"" + level + "\" is not a level: nothing is logged",
                                               "use one of none, error, warn, info, debug, trace");
        result.data = {{"path", path}, {"level", level}};
        return result;
    }

    // An existing file is opened for appending and closed untouched; a missing
    // one is created and removed again, as the translator would create it.
    const bool exists = ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
    const tly::UniqueFileHandle file(::CreateFileA(
        path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        exists ? OPEN_EXISTING : CREATE_NEW, FILE_ATTRIBUTE_NORMAL | (exists ? 0 : FILE_FLAG_DELETE_ON_CLOSE), nullptr));
    StepResult result;
    const DWORD openError = file ? 0 : ::GetLastError();
    if (!file && openError == ERROR_PATH_NOT_FOUND) {
        const std::string folder = path.substr(0, path.find_last_of("\\/"));
        result = StepResult::Failed(kLogStep, "log_folder_missing", "the folder " + folder + " does not exist",
                                    "create the folder, or name a file in an existing folder in "
                                    "\"logging\".\"file_name\"");
    } else if (!file) {
        result = StepResult::Failed(kLogStep, "log_not_writable",
                                    path + " cannot be written (error=" + std::to_string(openError) + ")",
                                    "give the host's account write access to the folder, or name another file in "
                                    "\"logging\".\"file_name\"");
    } else if (threshold == LogLevel::None) {
        result = StepResult::Passed(kLogStep, path + " is writable; logging is off (level " + level +
                                                  "): set \"logging\".\"level\" to \"info\" to see what the translator does");
    } else {
        result = StepResult::Passed(kLogStep, path + " is writable; level " + level);
    }
    result.data = {{"path", path}, {"level", level}};
    return result;
}
