#include "settings/LegacySettingsText.h"

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

}  // namespace

void ApplyLegacySettingsText(const std::string& text, TranslatorSettings& settings) {
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
}
