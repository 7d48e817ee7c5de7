// "tallyport_settings.json" read into a settings record, and the load
// sequence of one record: the file's side (whether it is there, reading it,
// the bootstrap log); what its text reads as is SettingsText.cpp's job, and
// writing the file SettingsWriteBack.cpp's.
#include "settings/SettingsFile.h"

#include "logging/AttentionEvents.h"
#include "logging/DataDirectory.h"
#include "logging/Log.h"
#include "platform/FileAccess.h"
#include "settings/LegacySettings.h"
#include "settings/LoadedSettings.h"

#include <windows.h>

#include <cstdint>

namespace {

bool SettingsFileMissing(const std::string& path) {
    if (::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES) return false;
    // Only a file that is really not there may be replaced by defaults; one we
    // merely cannot examine counts as existing.
    const DWORD error = ::GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// A file named path + ".txt" when path itself is missing: what to do about
// it, or empty when there is no such file. Explorer hides the ending, so an
// operator's "tallyport_settings.json" is easily saved as ".json.txt".
std::string MisnamedSettingsFile(const std::string& path) {
    const std::string misnamed = path + ".txt";
    if (::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES) return {};
    if (::GetFileAttributesA(misnamed.c_str()) == INVALID_FILE_ATTRIBUTES) return {};
    const std::size_t separator = misnamed.find_last_of("\\/");
    const std::string name = separator == std::string::npos ? misnamed : misnamed.substr(separator + 1);
    return "there is no tallyport_settings.json, but there is " + name +
           ": the file was saved with a .txt ending that Windows hides; rename it to tallyport_settings.json";
}

void WriteDefaultSettings(const std::string& path, TranslatorSettings& settings) {
    settings = TranslatorSettings{};
    ApplyLoggingSettings(settings);
    if (WriteSettingsJson(path, settings)) {
        LogEvent(LogLevel::Warn, "settings", "settings.default_written",
                 "No settings file found, wrote default JSON settings", {{"path", path}});
        return;
    }
    BootstrapLog("No settings file found and failed to write default JSON settings to '" + path + "'");
    LogEvent(LogLevel::Error, "settings", "settings.default_write_failed",
             "No settings file found and failed to write default JSON settings", {{"path", path}});
}

}  // namespace

std::string SettingsPath() { return DataDirectory() + "\\tallyport_settings.json"; }

std::uint64_t SettingsFileWriteTime(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return 0;
    return (static_cast<std::uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
           data.ftLastWriteTime.dwLowDateTime;
}

namespace {

using Outcome = SettingsInspection::Outcome;

// The member a type error names, as "server"."port".
std::string MemberOfTypeError(const std::string& text) {
    const std::size_t start = text.find('"');
    if (start == std::string::npos) return {};
    const std::size_t end = text.find(' ', start);
    return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

void SetWrongType(SettingsInspection& result, const SettingsTypeError& error) {
    result.outcome = Outcome::WrongType;
    result.problem = error.what();
    result.member = MemberOfTypeError(error.what());
}

// The whole file. When it cannot be read the outcome is Unreadable, and the
// problem says so in the caller's words with the read's error code.
bool ReadFileText(const std::string& path, std::string& text, const char* cannotBeRead, SettingsInspection& result) {
    try {
        if (ReadFileBetweenWrites(path, text)) return true;
        result.outcome = Outcome::Unreadable;
        result.problem = std::string(cannotBeRead) + " (error=" + std::to_string(::GetLastError()) + ")";
    } catch (const std::exception&) {
        result.outcome = Outcome::Unreadable;
    }
    return false;
}

}  // namespace

bool ReadSettingsJson(const std::string& path, TranslatorSettings& settings, SettingsInspection* report) {
    SettingsInspection ignored;
    SettingsInspection& result = report ? *report : ignored;
    result = SettingsInspection{};
    std::string text;
    if (!ReadFileText(path, text, "the file cannot be read", result)) {
        if (SettingsFileMissing(path)) result = SettingsInspection{};  // Missing, with no problem to name
        return false;
    }

    settings = TranslatorSettings{};
    try {
        result = ReadSettingsText(text, settings, false);
        if (result.outcome == Outcome::Unreadable && result.secret == SettingsInspection::Secret::Undecryptable) {
            BootstrapLog(
                "Failed to decrypt client_secret — was it encrypted by a different Windows account? Replace the "
                "DPAPI: value in the JSON with the plaintext secret to re-encrypt.");
            return false;
        }
        return result.outcome == Outcome::Loaded;
    } catch (const SettingsTypeError& e) {
        SetWrongType(result, e);
        throw;
    } catch (const std::exception&) {
        result.outcome = Outcome::Unreadable;
        return false;
    }
}

SettingsInspection InspectSettingsJson(const std::string& path, TranslatorSettings& settings) {
    SettingsInspection result;
    if (SettingsFileMissing(path)) {
        if (const std::string misnamed = MisnamedSettingsFile(path); !misnamed.empty()) result.problem = misnamed;
        return result;
    }

    std::string text;
    if (!ReadFileText(path, text, "cannot be read", result)) return result;

    settings = TranslatorSettings{};
    try {
        result = ReadSettingsText(text, settings, true);
    } catch (const SettingsTypeError& e) {
        SetWrongType(result, e);
    } catch (const std::exception&) {
        result.outcome = Outcome::Unreadable;
    }
    return result;
}

std::string SettingsPlace(const std::string& path, const SettingsInspection& read) {
    std::string place = path;
    if (read.line > 0) place += ", line " + std::to_string(read.line) + ", column " + std::to_string(read.column);
    if (!read.member.empty()) place += ", member " + read.member;  // quoted already: "server"."port"
    return place;
}

bool LoadSettingsFile(TranslatorSettings& settings, std::string* why, bool inForceStay) {
    const std::string jsonPath = SettingsPath();
    const std::string txtPath = DataDirectory() + "\\tallyport_settings.txt";

    SettingsInspection read;
    bool readable = false;
    try {
        readable = ReadSettingsJson(jsonPath, settings, &read);
    } catch (const SettingsTypeError& e) {
        // Otherwise only the caller's log would say why, and that may still be silent.
        BootstrapLog("Settings file at '" + jsonPath + "' could not be loaded: " + e.what());
        AttentionEvents::Instance().SettingsUnloadable(inForceStay, e.what(), SettingsPlace(jsonPath, read));
        throw;
    }
    if (readable) {
        UseLoadedSettings(jsonPath, settings, read.findings);
        return true;
    }
    if (ParseLegacySettingsText(txtPath, settings)) {
        MigrateLegacySettings(txtPath, jsonPath, settings);
        return true;
    }
    if (SettingsFileMissing(jsonPath)) {
        // The operator's file is there under a name Explorer shows without
        // its ending: defaults written beside it would only hide it.
        if (const std::string misnamed = MisnamedSettingsFile(jsonPath); !misnamed.empty()) {
            BootstrapLog("Settings file at '" + jsonPath + "' could not be loaded: " + misnamed);
            if (why) *why = misnamed;
            AttentionEvents::Instance().SettingsUnloadable(inForceStay, misnamed, jsonPath);
            if (inForceStay) return false;
            settings = TranslatorSettings{};
            ApplyLoggingSettings(settings);
            return false;
        }
        WriteDefaultSettings(jsonPath, settings);
        if (why) *why = "no settings file; default configuration was written";
        return false;
    }
    // The reason first, so the line below points at something. A secret that
    // cannot be decrypted was reported in its own words already.
    const bool secretReported = read.outcome == SettingsInspection::Outcome::Unreadable && !read.member.empty();
    if (!read.problem.empty() && !secretReported) {
        BootstrapLog("Settings file at '" + jsonPath + "' could not be loaded: " + read.problem);
    }
    AttentionEvents::Instance().SettingsUnloadable(
        inForceStay, read.problem.empty() ? std::string("it cannot be read") : read.problem,
        SettingsPlace(jsonPath, read));
    if (inForceStay) {
        BootstrapLog("Settings file exists at '" + jsonPath + "' but could not be loaded as a panel opened: the " +
                     "settings in force stay until the file is corrected; correct it and save it, and it is read " +
                     "again without a restart");
        return false;
    }
    BootstrapLog("Settings file exists at '" + jsonPath + "' but could not be loaded: the translator runs on its " +
                 "defaults (no server sign-in, logging off) until the file is corrected; correct it and save it, " +
                 "and it is read again without a restart");
    if (why) *why = read.problem.empty() ? std::string("the file could not be read as settings") : read.problem;
    return false;
}
