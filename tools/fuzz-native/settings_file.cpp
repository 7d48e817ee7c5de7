// The settings file an operator edits, "tallyport_settings.json", read from
// its text; and the same bytes taken as the legacy "key,value" text and
// migrated into the JSON file's written form. Beyond "no sanitizer report":
// - the read throws nothing but the type error, and that names a member the
//   text really gives with another type or beyond 32 bits;
// - a text that loads gives each member as the JSON library reads it (a
//   number with its fraction dropped, true as 1), and its absent members at
//   their defaults; one that does not load says why (not JSON exactly when
//   the library refuses it, a version below 2, a secret that cannot be
//   decrypted) with a place inside the text and no byte of it quoted;
// - a record that loads, written and read again, is the same record, and is
//   written again as the same text; so is a record migrated from legacy text.

#include "platform/JsonDocument.h"
#include "settings/LegacySettingsText.h"
#include "settings/SecretProtection.h"
#include "settings/SettingsText.h"
#include "tools/fuzz-native/FuzzCheck.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <optional>

namespace {

using fuzz_native::Check;
using nlohmann::json;
using Outcome = SettingsInspection::Outcome;
using Secret = SettingsInspection::Secret;

enum class Kind { String, Number, Boolean };
struct Member {
    const char* section;  // "" for the top level
    const char* name;
    Kind kind;
};
constexpr Member kMembers[] = {
    {"", "version", Kind::Number},
    {"server", "hostname", Kind::String},           {"server", "port", Kind::Number},
    {"server", "client_id", Kind::String},          {"server", "client_secret", Kind::String},
    {"server", "validate_cert", Kind::Boolean},     {"server", "cert_thumbprint", Kind::String},
    {"logging", "level", Kind::String},             {"logging", "file_name", Kind::String},
    {"logging", "max_log_size_mb", Kind::Number},   {"logging", "max_log_files", Kind::Number},
    {"debug", "enable_badge_event_file", Kind::Boolean}, {"debug", "plaintext_secret", Kind::Boolean},
};
constexpr const char* kSections[] = {"server", "logging", "debug"};

std::string PathOf(const std::string& section, const std::string& name) {
    return section.empty() ? "\"" + name + "\"" : "\"" + section + "\".\"" + name + "\"";
}

bool IsKnownPath(const std::string& path) {
    for (const Member& m : kMembers) {
        if (path == PathOf(m.section, m.name)) return true;
    }
    for (const char* section : kSections) {
        if (path == PathOf("", section)) return true;
    }
    return false;
}

// The member's value in the document, or null when its section or itself is absent.
const json* ValueOf(const json& document, const Member& m) {
    const json* object = &document;
    if (*m.section) {
        const auto section = document.find(m.section);
        if (section == document.end() || !section->is_object()) return nullptr;
        object = &*section;
    }
    const auto it = object->find(m.name);
    return it == object->end() ? nullptr : &*it;
}

// A number whose whole part fits 32 bits but that has a fraction: refused as no whole number.
bool IsFraction(const json& value) {
    if (!value.is_number_float()) return false;
    const double d = value.get<double>();
    return d > -2147483649.0 && d < 2147483648.0 && std::trunc(d) != d;
}

// What a number member must read as; none when the value is no number, has a
// fraction, or does not fit 32 bits.
std::optional<std::int32_t> NumberOf(const json& value) {
    if (IsFraction(value)) return std::nullopt;
    if (value.is_boolean()) return value.get<bool>() ? 1 : 0;
    if (value.is_number_unsigned()) {
        const auto n = value.get<std::uint64_t>();
        return n <= 2147483647u ? std::optional<std::int32_t>(static_cast<std::int32_t>(n)) : std::nullopt;
    }
    if (value.is_number_integer()) {
        const auto n = value.get<std::int64_t>();
        return n >= -2147483648LL && n <= 2147483647LL ? std::optional<std::int32_t>(static_cast<std::int32_t>(n))
                                                       : std::nullopt;
    }
    if (value.is_number_float()) {
        const double d = value.get<double>();
        return d > -2147483649.0 && d < 2147483648.0 ? std::optional<std::int32_t>(static_cast<std::int32_t>(d))
                                                     : std::nullopt;
    }
    return std::nullopt;
}

bool HasKind(const json& value, Kind kind) {
    switch (kind) {
        case Kind::String: return value.is_string();
        case Kind::Boolean: return value.is_boolean();
        case Kind::Number: return NumberOf(value).has_value();
    }
    return false;
}

// The record's field for a member, as JSON, to compare with the file's value.
json FieldOf(const TranslatorSettings& s, const std::string& name) {
    if (name == "hostname") return s.hostname;
    if (name == "port") return s.port;
    if (name == "client_id") return s.client_id;
    if (name == "validate_cert") return s.validate_cert;
    if (name == "level") return s.log_level;
    if (name == "file_name") return s.log_file_name;
    if (name == "max_log_size_mb") return s.max_log_size_mb;
    if (name == "max_log_files") return s.max_log_files;
    if (name == "enable_badge_event_file") return s.enable_badge_event_file;
    if (name == "plaintext_secret") return s.plaintext_secret;
    return nullptr;  // the version, the secret and the thumbprint are checked on their own
}

struct Read {
    SettingsInspection inspection;
    TranslatorSettings settings;
    std::string typeError;  // what the type error said; empty when none was thrown
};

Read ReadText(const std::string& text, bool readPastSecret) {
    Read read;
    try {
        read.inspection = ReadSettingsText(text, read.settings, readPastSecret);
    } catch (const SettingsTypeError& e) {
        read.typeError = e.what();
        Check(!read.typeError.empty(), "a type error says something", text);
    } catch (const std::exception& e) {
        fuzz_native::Broken(std::string("the read throws only its type error, not: ") + e.what(), text);
    }
    return read;
}

// The member a type error names really is of another type in the document.
void CheckTypeError(const std::string& error, const json& document, const std::string& text) {
    if (error == "the settings document must be a JSON object") {
        Check(!document.is_object(), "only a document that is no object is refused as one", text);
        return;
    }
    Check(document.is_object(), "a document that is no object is refused as such", text);
    for (const char* section : kSections) {
        if (error == "member " + PathOf("", section) + " must be an object") {
            Check(document.contains(section) && !document[section].is_object(), "a section named is no object", text);
            return;
        }
    }
    for (const Member& m : kMembers) {
        const std::string named = "member " + PathOf(m.section, m.name) + " ";
        if (error.rfind(named, 0) != 0) continue;
        const json* value = ValueOf(document, m);
        Check(value && !HasKind(*value, m.kind), "the member a type error names is of another type", text);
        const std::string said = m.kind == Kind::String    ? "must be a string"
                                 : m.kind == Kind::Boolean ? "must be a boolean"
                                 : IsFraction(*value)      ? "is " + value->dump() + ", which is not a whole number"
                                 : value->is_number()      ? "is out of range"
                                                           : "must be a number";
        Check(error == named + said, "the type error says what the member must be: " + error, text);
        return;
    }
    fuzz_native::Broken("a type error names a member the reader reads: " + error, text);
}

// A reason a text is not loaded is said in the product's words, never the file's bytes, at a place inside the text.
void CheckProblem(const SettingsInspection& inspection, const std::string& text) {
    for (const char c : inspection.problem) {
        Check(c >= ' ' && c <= '~', "a problem is said in plain words, never in the file's bytes", text);
    }
    Check(inspection.member.empty() || IsKnownPath(inspection.member), "a problem names a known member", text);
    if (inspection.line == 0) {
        Check(inspection.column == 0, "a problem without a line has no column", text);
        return;
    }
    std::size_t start = 0;
    for (int line = 1; line < inspection.line; ++line) {
        start = text.find('\n', start);
        Check(start != std::string::npos, "a problem's line is in the text", text);
        ++start;
    }
    const std::size_t end = std::min(text.find('\n', start), text.size());
    Check(inspection.column >= 1 && static_cast<std::size_t>(inspection.column) <= end - start + 1,
          "a problem's column is on its line", text);
}

// A text that loads holds every member the reader reads as the file gives it.
void CheckLoaded(const Read& read, const json& document, bool readPastSecret, const std::string& text) {
    const TranslatorSettings defaults;
    const TranslatorSettings& s = read.settings;
    const json* version = ValueOf(document, kMembers[0]);
    Check(version && NumberOf(*version).value_or(0) >= 2, "only a version of 2 or more loads", text);

    const json* stored = ValueOf(document, {"server", "client_secret", Kind::String});
    const std::string secret = stored ? stored->get<std::string>() : std::string();
    bool undecryptable = false;
    if (secret.rfind("DPAPI:", 0) == 0) {
        const std::string plaintext = secret.size() > 6 ? DpapiDecrypt(secret.substr(6)) : std::string();
        undecryptable = secret.size() > 6 && plaintext.empty();
        Check(read.inspection.secret == (secret.size() == 6 ? Secret::Empty
                                         : undecryptable    ? Secret::Undecryptable
                                                            : Secret::Protected),
              "the stored form of a protected secret is told", text);
        Check(s.client_secret == plaintext && !s.secret_was_plaintext, "a protected secret is held decrypted", text);
    } else {
        Check(read.inspection.secret == (secret.empty() ? Secret::Empty : Secret::Plain),
              "the stored form of a plain secret is told", text);
        Check(s.client_secret == secret && s.secret_was_plaintext == !secret.empty(),
              "a plain secret is held as written and marked for encryption", text);
    }
    const bool stopped = undecryptable && !readPastSecret;
    Check(read.inspection.outcome == (stopped ? Outcome::Unreadable : Outcome::Loaded),
          "only a secret that cannot be decrypted keeps a document of version 2 from loading", text);

    for (const Member& m : kMembers) {
        const json field = FieldOf(s, m.name);
        if (field.is_null()) continue;
        const json* value = ValueOf(document, m);
        const bool unread = stopped && std::string(m.section) != "server";
        json expected = !value || unread ? FieldOf(defaults, m.name)
                        : m.kind == Kind::Number ? json(NumberOf(*value).value_or(-1))
                                                 : *value;
        // Log limits that cannot be meant take their defaults.
        const std::string name = m.name;
        if ((name == "max_log_size_mb" && expected.get<std::int64_t>() < 1) ||
            (name == "max_log_files" && expected.get<std::int64_t>() < 0)) {
            expected = FieldOf(defaults, m.name);
        }
        Check(!value || unread || HasKind(*value, m.kind), std::string("a mistyped member loads: ") + m.name, text);
        Check(field == expected, std::string("the member is read as the file gives it: ") + m.name, text);
    }
    for (const char c : s.cert_thumbprint) {
        Check(c != ':' && c != '-' && !std::isspace(static_cast<unsigned char>(c)) &&
                  !std::isupper(static_cast<unsigned char>(c)),
              "a thumbprint is held normalised", text);
    }
    const json* thumbprint = ValueOf(document, {"server", "cert_thumbprint", Kind::String});
    Check(s.cert_thumbprint.size() <= (thumbprint ? thumbprint->get<std::string>().size() : 0),
          "normalising a thumbprint only drops characters", text);
    for (const SettingsFinding& finding : read.inspection.findings) {
        const bool unknown = finding.kind == SettingsFinding::Kind::UnknownMember;
        const bool twice = finding.kind == SettingsFinding::Kind::DuplicateMember;
        const bool defaulted = finding.kind == SettingsFinding::Kind::DefaultUsed;
        Check(unknown || twice || IsKnownPath(finding.member),
              "a finding other than an unknown or repeated member names a known member", text);
        Check(finding.kind != SettingsFinding::Kind::LogFolderMissing, "the text alone finds no missing folder", text);
        Check(IsErrorFinding(finding.kind) == !(unknown || twice || defaulted) &&
                  std::string(FindingReason(finding.kind)) != "" &&
                  (unknown || std::string(FindingReason(finding.kind)) != "unknown_member"),
              "only an unknown or repeated member and a defaulted limit are warnings, and each kind has its own reason",
              text);
        Check(finding.suggestion.empty() || IsKnownPath(finding.suggestion), "a suggestion is a known member", text);
    }
}

// The record written and read again: the same record, written again as the same text.
void CheckRoundTrip(const TranslatorSettings& record, const std::string& written, const std::string& origin) {
    const Read again = ReadText(written, false);
    Check(again.typeError.empty() && again.inspection.outcome == Outcome::Loaded, "the written form loads", origin);
    const TranslatorSettings& s = again.settings;
    Check(s.hostname == record.hostname && s.port == record.port && s.client_id == record.client_id &&
              s.client_secret == record.client_secret && s.validate_cert == record.validate_cert &&
              s.log_level == record.log_level && s.log_file_name == record.log_file_name &&
              s.max_log_size_mb == record.max_log_size_mb && s.max_log_files == record.max_log_files,
          "the written form reads back as the record", origin);
    Check(s.cert_thumbprint.empty() && !s.enable_badge_event_file && !s.plaintext_secret &&
              s.secret_was_plaintext == !s.client_secret.empty(),
          "the written form leaves out the pin and the debug switches and holds the secret in plain text", origin);
    Check(WrittenSettingsText(s) == written, "a record read back is written as the same text", origin);
}

// Text whose second byte is zero after a first that is not: UTF-16. The JSON
// library ends its input at a zero byte, so it would read the first
// character alone; the reader refuses the text instead.
bool LooksLikeUtf16(const std::string& text) { return text.size() >= 2 && text[0] != '\0' && text[1] == '\0'; }

bool IsUtf8(const std::string& text) {
    try {
        static_cast<void>(json(text).dump());
        return true;
    } catch (const json::type_error&) {
        return false;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(fuzz_native::AsText(data, size));
    const json document =
        tly::JsonNestingWithin(text) ? json::parse(text, nullptr, false) : json(json::value_t::discarded);

    for (const bool readPastSecret : {true, false}) {
        const Read read = ReadText(text, readPastSecret);
        if (!read.typeError.empty()) {
            Check(!document.is_discarded(), "only JSON has mistyped members", text);
            CheckTypeError(read.typeError, document, text);
            continue;
        }
        const Outcome outcome = read.inspection.outcome;
        Check((outcome == Outcome::NotJson) == (document.is_discarded() || LooksLikeUtf16(text)),
              "a text is refused as not JSON exactly when the JSON library refuses it or it is UTF-16", text);
        if (outcome == Outcome::OldVersion) {
            const json* version = ValueOf(document, kMembers[0]);
            Check(!version || NumberOf(*version).value_or(2) < 2, "only a version below 2 is old", text);
        } else if (outcome != Outcome::NotJson) {
            CheckLoaded(read, document, readPastSecret, text);
        }
        if (outcome != Outcome::Loaded) {
            Check(!read.inspection.problem.empty(), "a text that does not load says why", text);
            CheckProblem(read.inspection, text);
            continue;
        }
        Check(read.inspection.problem.empty(), "a text that loads has no problem", text);
        std::string written;
        try {
            written = WrittenSettingsText(read.settings);
        } catch (const std::exception& e) {
            fuzz_native::Broken(std::string("a record that loads can be written: ") + e.what(), text);
        }
        CheckRoundTrip(read.settings, written, text);
    }

    // The same bytes as the legacy text, and the JSON file its migration writes.
    TranslatorSettings migrated;
    ApplyLegacySettingsText(text, migrated);
    std::string written;
    try {
        written = WrittenSettingsText(migrated);
    } catch (const json::type_error&) {
        Check(!IsUtf8(migrated.hostname), "only a host name that is not UTF-8 keeps a migration from being written",
              text);
        return 0;
    }
    CheckRoundTrip(migrated, written, text);
    return 0;
}
