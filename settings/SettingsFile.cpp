// "tallyport_settings.json" read into a settings record, and the load
// sequence of one record; writing the file is SettingsWriteBack.cpp's job.
#include "settings/SettingsFile.h"

#include "logging/Log.h"
#include "platform/FileAccess.h"
#include "platform/JsonDocument.h"
#include "platform/JsonRead.h"
#include "settings/LegacySettings.h"
#include "settings/LoadedSettings.h"
#include "settings/SecretProtection.h"
#include "settings/SettingsDocument.h"
#include "settings/SettingsMistakes.h"
#include "settings/Thumbprint.h"

#include <nlohmann/json.hpp>
#include <windows.h>

#include <cstdint>

namespace {

using nlohmann::json;

constexpr char kSecretPrefix[] = "DPAPI:";

std::string MemberName(const std::string& section, const char* key) {
    std::string name = "\"" + std::string(key) + "\"";
    return section.empty() ? name : "\"" + section + "\"." + name;
}

[[noreturn]] void ThrowTypeError(const std::string& member, const char* problem) {
    throw SettingsTypeError("member " + member + " " + problem);
}

// Typed reads from one object of the settings document. An absent member keeps
// the record's value; a present member of another type throws, naming it.
class MemberReader {
public:
    MemberReader(const json& object, std::string section) : object_(object), section_(std::move(section)) {}

    void String(const char* key, std::string& out) const {
        const json_read::Reading<std::string> read = json_read::ReadString(object_, key);
        if (read.found == json_read::Found::Missing) return;
        if (read.found != json_read::Found::Value) ThrowTypeError(MemberName(section_, key), "must be a string");
        out = read.value;
    }

    void Boolean(const char* key, bool& out) const {
        const json_read::Reading<bool> read = json_read::ReadBool(object_, key);
        if (read.found == json_read::Found::Missing) return;
        if (read.found != json_read::Found::Value) ThrowTypeError(MemberName(section_, key), "must be a boolean");
        out = read.value;
    }

    // Any JSON number (a fraction is truncated) or a boolean (true is 1). A
    // number beyond 32 bits is refused rather than wrapped into another value.
    void Number(const char* key, std::int32_t& out) const {
        const json_read::IntegerReading<std::int32_t> read = json_read::ReadInteger<std::int32_t>(object_, key);
        if (read.found == json_read::Found::Missing) return;
        if (read.found != json_read::Found::Value) ThrowTypeError(MemberName(section_, key), "must be a number");
        if (read.outOfRange) ThrowTypeError(MemberName(section_, key), "is out of range");
        out = read.value;
    }

private:
    const json& object_;
    std::string section_;
};

// The named object of the document, or null when absent.
const json* Section(const json& document, const char* name) {
    const auto it = document.find(name);
    if (it == document.end()) return nullptr;
    if (!it->is_object()) ThrowTypeError(MemberName({}, name), "must be an object");
    return &*it;
}

using SecretForm = SettingsInspection::Secret;

}  // namespace

DocumentRead ReadSettingsDocument(const json& document, TranslatorSettings& settings, SecretForm& secret,
                                  bool readPastSecret) {
    if (!document.is_object()) throw SettingsTypeError("the settings document must be a JSON object");

    std::int32_t version = 0;
    MemberReader(document, {}).Number("version", version);
    if (version < 2) return DocumentRead::OldVersion;

    bool secretUndecryptable = false;
    if (const json* server = Section(document, "server")) {
        const MemberReader reader(*server, "server");
        reader.String("hostname", settings.hostname);
        reader.Number("port", settings.port);
        reader.String("client_id", settings.client_id);
        reader.Boolean("validate_cert", settings.validate_cert);
        std::string thumbprint;
        reader.String("cert_thumbprint", thumbprint);
        settings.cert_thumbprint = NormalizeThumbprint(thumbprint);

        std::string stored;
        reader.String("client_secret", stored);
        if (stored.rfind(kSecretPrefix, 0) == 0) {
            const std::string encoded = stored.substr(sizeof kSecretPrefix - 1);
            std::string plaintext = encoded.empty() ? std::string() : DpapiDecrypt(encoded);
            secretUndecryptable = !encoded.empty() && plaintext.empty();
            secret = encoded.empty() ? SecretForm::Empty
                     : secretUndecryptable ? SecretForm::Undecryptable
                                           : SecretForm::Protected;
            if (secretUndecryptable && !readPastSecret) return DocumentRead::SecretUndecryptable;
            settings.client_secret = std::move(plaintext);
        } else {
            settings.client_secret = stored;
            secret = stored.empty() ? SecretForm::Empty : SecretForm::Plain;
            if (!stored.empty()) settings.secret_was_plaintext = true;
        }
    }

    if (const json* logging = Section(document, "logging")) {
        const MemberReader reader(*logging, "logging");
        reader.String("level", settings.log_level);
        reader.String("file_name", settings.log_file_name);
        reader.Number("max_log_size_mb", settings.max_log_size_mb);
        reader.Number("max_log_files", settings.max_log_files);
    }

    if (const json* debug = Section(document, "debug")) {
        const MemberReader reader(*debug, "debug");
        reader.Boolean("enable_badge_event_file", settings.enable_badge_event_file);
        reader.Boolean("plaintext_secret", settings.plaintext_secret);
    }
    return secretUndecryptable ? DocumentRead::SecretUndecryptable : DocumentRead::Loaded;
}

namespace {

bool SettingsFileMissing(const std::string& path) {
    if (::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES) return false;
    // Only a file that is really not there may be replaced by defaults; one we
    // merely cannot examine counts as existing.
    const DWORD error = ::GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
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

std::string SettingsPath() { return ModuleDirectory() + "\\tallyport_settings.json"; }

std::uint64_t SettingsFileWriteTime(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return 0;
    return (static_cast<std::uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
           data.ftLastWriteTime.dwLowDateTime;
}

namespace {

using Outcome = SettingsInspection::Outcome;

void SetProblem(SettingsInspection& result, Outcome outcome, SettingsProblem problem) {
    result.outcome = outcome;
    result.problem = std::move(problem.text);
    result.line = problem.line;
    result.column = problem.column;
    result.member = std::move(problem.member);
    result.reason = problem.reason;
}

// Reads the text into the record, which holds the defaults, and says how it
// went. Only a wrongly typed member throws (SettingsTypeError), as the
// document reader raises it; the caller decides what to make of it.
SettingsInspection ReadText(const std::string& text, TranslatorSettings& settings, bool readPastSecret,
                            bool& secretUndecryptable) {
    SettingsInspection result;
    if (SettingsProblem unusable = DescribeUnusableText(text); !unusable.text.empty()) {
        SetProblem(result, Outcome::NotJson, std::move(unusable));
        return result;
    }
    json document;
    try {
        document = tly::ParseJson(text);
    } catch (const json::parse_error& e) {
        SetProblem(result, Outcome::NotJson, DescribeSyntaxError(text, e.byte));
        return result;
    }
    const DocumentRead read = ReadSettingsDocument(document, settings, result.secret, readPastSecret);
    secretUndecryptable = read == DocumentRead::SecretUndecryptable;
    if (read == DocumentRead::OldVersion) {
        result.outcome = Outcome::OldVersion;
        result.problem = "member \"version\" must be 2 or more";
        result.member = "\"version\"";
        return result;
    }
    result.outcome = Outcome::Loaded;
    result.findings = ReviewSettingsDocument(document);
    return result;
}

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
        if (ReadWholeFile(path, text)) return true;
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
        bool secretUndecryptable = false;
        result = ReadText(text, settings, false, secretUndecryptable);
        if (secretUndecryptable) {
            BootstrapLog(
                "Failed to decrypt client_secret — was it encrypted by a different Windows account? Replace the "
                "DPAPI: value in the JSON with the plaintext secret to re-encrypt.");
            result.outcome = Outcome::Unreadable;
            result.problem = "member \"server\".\"client_secret\" cannot be decrypted by this Windows account";
            result.member = "\"server\".\"client_secret\"";
            return false;
        }
        return result.outcome == Outcome::Loaded;
    } catch (const SettingsTypeError& e) {
        // Otherwise only the caller's log would say why, and that may still be silent.
        BootstrapLog("Settings file at '" + path + "' could not be loaded: " + e.what());
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
        bool secretUndecryptable = false;
        result = ReadText(text, settings, true, secretUndecryptable);
    } catch (const SettingsTypeError& e) {
        SetWrongType(result, e);
    } catch (const std::exception&) {
        result.outcome = Outcome::Unreadable;
    }
    return result;
}

bool LoadSettingsFile(TranslatorSettings& settings) {
    const std::string jsonPath = SettingsPath();
    const std::string txtPath = ModuleDirectory() + "\\tallyport_settings.txt";

    SettingsInspection read;
    if (ReadSettingsJson(jsonPath, settings, &read)) {
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
            settings = TranslatorSettings{};
            ApplyLoggingSettings(settings);
            return false;
        }
        WriteDefaultSettings(jsonPath, settings);
        return false;
    }
    // The reason first, so the line below points at something. A secret that
    // cannot be decrypted was reported in its own words already.
    const bool secretReported = read.outcome == SettingsInspection::Outcome::Unreadable && !read.member.empty();
    if (!read.problem.empty() && !secretReported) {
        BootstrapLog("Settings file at '" + jsonPath + "' could not be loaded: " + read.problem);
    }
    BootstrapLog("Settings file exists at '" + jsonPath + "' but could not be loaded. Check the bootstrap log for details.");
    return false;
}
