// The settings document, already parsed, read member by member into a record.
#include "settings/SettingsDocument.h"

#include "platform/JsonRead.h"
#include "settings/SecretProtection.h"
#include "settings/ThumbprintText.h"

#include <cstdint>

namespace {

using nlohmann::json;

constexpr char kSecretPrefix[] = "DPAPI:";

std::string MemberName(const std::string& section, const char* key) {
    std::string name = "\"" + std::string(key) + "\"";
    return section.empty() ? name : "\"" + section + "\"." + name;
}

[[noreturn]] void ThrowTypeError(const std::string& member, const std::string& problem) {
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

    // A whole JSON number (7 and 7.0 alike) or a boolean (true is 1). A
    // fraction is refused rather than cut (port 43079.5 was never meant to be
    // 43079), and so is a number beyond 32 bits rather than wrapped. A number
    // is quoted: the secret is never one.
    void Number(const char* key, std::int32_t& out) const {
        const json_read::IntegerReading<std::int32_t> read = json_read::ReadInteger<std::int32_t>(object_, key);
        if (read.found == json_read::Found::Missing) return;
        if (read.found != json_read::Found::Value) ThrowTypeError(MemberName(section_, key), "must be a number");
        if (read.outOfRange) ThrowTypeError(MemberName(section_, key), "is out of range");
        if (read.inexact) {
            ThrowTypeError(MemberName(section_, key), "is " + read.member->dump() + ", which is not a whole number");
        }
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
        // A log that never rotates (a size of 0 or less), or a count of
        // rotated files below 0, cannot be meant: the defaults apply, and the
        // review says so (SettingsReview.cpp).
        const TranslatorSettings defaults;
        if (settings.max_log_size_mb < 1) settings.max_log_size_mb = defaults.max_log_size_mb;
        if (settings.max_log_files < 0) settings.max_log_files = defaults.max_log_files;
    }

    if (const json* debug = Section(document, "debug")) {
        const MemberReader reader(*debug, "debug");
        reader.Boolean("enable_badge_event_file", settings.enable_badge_event_file);
        reader.Boolean("plaintext_secret", settings.plaintext_secret);
    }
    return secretUndecryptable ? DocumentRead::SecretUndecryptable : DocumentRead::Loaded;
}
