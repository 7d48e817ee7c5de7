#include "settings/LegacySettings.h"

#include "logging/Log.h"
#include "platform/FileAccess.h"
#include "settings/SettingsFile.h"

#include <windows.h>

#include <cstdint>

namespace {

constexpr std::int32_t kDefaultPort = 30001;

std::string Trim(const std::string& text) {
    constexpr char kBlanks[] = " \t\r\n";
    const size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

std::string LowerAscii(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

// An optional sign and decimal digits; whatever follows the digits is ignored.
// No digits, or a number beyond 32 bits, gives the default port.
std::int32_t ParsePort(const std::string& value) {
    size_t i = 0;
    const bool negative = i < value.size() && value[i] == '-';
    if (i < value.size() && (value[i] == '-' || value[i] == '+')) ++i;
    const size_t firstDigit = i;
    std::int64_t magnitude = 0;
    for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) {
        magnitude = magnitude * 10 + (value[i] - '0');
        if (magnitude > 2147483648LL) return kDefaultPort;
    }
    if (i == firstDigit) return kDefaultPort;
    const std::int64_t number = negative ? -magnitude : magnitude;
    if (number > 2147483647LL) return kDefaultPort;
    return static_cast<std::int32_t>(number);
}

void ApplyLine(const std::string& key, const std::string& value, TranslatorSettings& settings) {
    if (key == "hostname") {
        settings.hostname = value;
    } else if (key == "port") {
        settings.port = ParsePort(value);
    } else if (key == "validate_cert") {
        settings.validate_cert = LowerAscii(value) == "true";
    } else if (key == "debug") {
        if (LowerAscii(value) == "true") settings.log_level = "debug";
    }
}

// Migration overwrites a JSON file that exists but could not be used (a typo in
// a hand edit, a secret of another account). Its client id and secret are not
// in the legacy file, so a copy is kept beside it first; without one the file
// is not replaced.
bool KeepUnusableSettingsFile(const std::string& json) {
    if (::GetFileAttributesA(json.c_str()) == INVALID_FILE_ATTRIBUTES) return true;
    const std::string copy = json + ".bak";
    if (!::CopyFileA(json.c_str(), copy.c_str(), FALSE)) {
        const DWORD error = ::GetLastError();
        BootstrapLog("Could not keep a copy of the unusable settings file '" + json + "' as '" + copy +
                     "' (error=" + std::to_string(error) + "); it was not replaced by the migrated settings");
        return false;
    }
    BootstrapLog("Kept a copy of the unusable settings file '" + json + "' as '" + copy +
                 "' before replacing it with the migrated settings");
    return true;
}

}  // namespace

bool ParseLegacySettingsText(const std::string& path, TranslatorSettings& settings) {
    std::string text;
    if (!ReadWholeFile(path, text)) return false;

    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = Trim(text.substr(start, end - start));
        start = end + 1;

        if (line.empty() || line[0] == '#') continue;
        const size_t comma = line.find(',');
        if (comma == std::string::npos) continue;
        ApplyLine(Trim(line.substr(0, comma)), Trim(line.substr(comma + 1)), settings);
    }
    return true;
}

void MigrateLegacySettings(const std::string& txt, const std::string& json, const TranslatorSettings& settings) {
    ApplyLoggingSettings(settings);

    if (!KeepUnusableSettingsFile(json) || !WriteSettingsJson(json, settings)) {
        BootstrapLog("Loaded legacy TXT settings from '" + txt + "' but could not persist migrated JSON to '" + json +
                     "'");
        LogEvent(LogLevel::Error, "settings", "settings.migration_write_failed",
                 "Loaded legacy TXT settings but failed to write migrated JSON file",
                 {{"source", txt}, {"target", json}});
        return;
    }

    const std::string bak = txt + ".bak";
    if (!::MoveFileA(txt.c_str(), bak.c_str())) {
        const DWORD error = ::GetLastError();
        BootstrapLog("Migrated settings JSON but failed to rename legacy TXT file from '" + txt + "' to '" + bak +
                     "' (error=" + std::to_string(error) + ")");
        LogEvent(LogLevel::Warn, "settings", "settings.legacy_rename_failed",
                 "Migrated settings JSON but failed to rename legacy TXT file",
                 {{"source", txt}, {"target", bak}, {"win32_error", static_cast<std::uint32_t>(error)}});
    }
    LogEvent(LogLevel::Info, "settings", "settings.migrated", "Migrated legacy settings file to JSON",
             {{"source", txt}, {"target", json}});
}
