#include "settings/SettingsMistakes.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstring>

namespace {

struct Place {
    int line = 1;
    int column = 1;
};

// Line and column (1-based, in bytes) of the byte at offset.
Place PlaceOf(std::string_view text, std::size_t offset) {
    Place place;
    for (std::size_t i = 0; i < offset && i < text.size(); ++i) {
        if (text[i] == '\n') {
            ++place.line;
            place.column = 1;
        } else {
            ++place.column;
        }
    }
    return place;
}

// Every member the translator reads, with its section; names are unique across sections.
constexpr const char* kMembers[][2] = {
    {"", "version"},          {"", "server"},
    {"", "logging"},          {"", "debug"},
    {"server", "hostname"},   {"server", "port"},
    {"server", "client_id"},  {"server", "client_secret"},
    {"server", "validate_cert"}, {"server", "cert_thumbprint"},
    {"logging", "level"},     {"logging", "file_name"},
    {"logging", "max_log_size_mb"}, {"logging", "max_log_files"},
    {"debug", "enable_badge_event_file"}, {"debug", "plaintext_secret"},
};

// The known member whose name ("name" followed by a colon) stands last
// before offset. Only known names are given, so nothing else of the file is
// ever quoted.
std::string MemberBefore(std::string_view text, std::size_t offset) {
    std::string best;
    std::size_t bestAt = 0;
    const std::string_view before = text.substr(0, std::min(offset + 1, text.size()));
    for (const auto& member : kMembers) {
        const std::string quoted = std::string("\"") + member[1] + "\"";
        std::size_t at = before.rfind(quoted);
        while (at != std::string_view::npos) {
            std::size_t after = at + quoted.size();
            while (after < before.size() && (before[after] == ' ' || before[after] == '\t')) ++after;
            if (after < text.size() && text[after] == ':') break;
            at = at == 0 ? std::string_view::npos : before.rfind(quoted, at - 1);
        }
        if (at != std::string_view::npos && (best.empty() || at > bestAt)) {
            bestAt = at;
            best = member[0][0] ? std::string("\"") + member[0] + "\".\"" + member[1] + "\""
                                : std::string("\"") + member[1] + "\"";
        }
    }
    return best;
}

// The first backslash inside a string that starts no JSON escape (as in
// "C:\Logs"), or npos.
std::size_t FirstLoneBackslash(std::string_view text) {
    bool inString = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (!inString) {
            if (c == '"') inString = true;
            continue;
        }
        if (c == '"') {
            inString = false;
        } else if (c == '\\') {
            if (i + 1 >= text.size() || !std::strchr("\"\\/bfnrtu", text[i + 1])) return i;
            ++i;
        }
    }
    return std::string_view::npos;
}

// The first number outside strings that is too large for the JSON library
// (beyond a double's range, as 1e999), or npos. The library parses each one
// on its own, so what counts as too large is exactly what it refused.
std::size_t FirstOverflowingNumber(std::string_view text) {
    bool inString = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (c == '\\') {
                ++i;
            } else if (c == '"') {
                inString = false;
            }
            continue;
        }
        if (c == '"') {
            inString = true;
            continue;
        }
        if (c != '-' && (c < '0' || c > '9')) continue;
        const std::size_t end = std::min(text.find_first_not_of("0123456789+-.eE", i), text.size());
        if (nlohmann::json::parse(text.substr(i, end - i), nullptr, false).is_discarded()) return i;
        i = end - 1;
    }
    return std::string_view::npos;
}

// The offset of the first byte that does not belong to a UTF-8 character
// (an ANSI "é" is one byte, 0xE9, that starts none), or npos.
std::size_t FirstNonUtf8Byte(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length = 0;
        unsigned char low = 0x80, high = 0xBF;  // the second byte's range
        if (lead < 0x80) {
            ++i;
            continue;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            if (lead == 0xE0) low = 0xA0;   // no overlong form
            if (lead == 0xED) high = 0x9F;  // no surrogate
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            if (lead == 0xF0) low = 0x90;
            if (lead == 0xF4) high = 0x8F;  // nothing beyond U+10FFFF
        } else {
            return i;
        }
        if (i + length > text.size()) return i;
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if (next < (k == 1 ? low : 0x80) || next > (k == 1 ? high : 0xBF)) return i;
        }
        i += length;
    }
    return std::string_view::npos;
}

char LastNonBlankBefore(std::string_view text, std::size_t offset) {
    while (offset > 0) {
        const char c = text[--offset];
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n') return c;
    }
    return '\0';
}

// The mistake at offset: what it is, where, and what to do.
SettingsProblem At(std::string_view text, std::size_t offset, const std::string& what, const std::string& advice) {
    SettingsProblem problem;
    const Place place = PlaceOf(text, offset);
    problem.line = place.line;
    problem.column = place.column;
    problem.member = MemberBefore(text, offset);
    problem.text = what + " at line " + std::to_string(place.line) + ", column " + std::to_string(place.column);
    if (!problem.member.empty()) problem.text += " (at or after member " + problem.member + ")";
    problem.text += ": " + advice;
    return problem;
}

}  // namespace

SettingsProblem DescribeUnusableText(std::string_view text) {
    SettingsProblem problem;
    const bool utf16Mark = text.size() >= 2 && ((static_cast<unsigned char>(text[0]) == 0xFF &&
                                                  static_cast<unsigned char>(text[1]) == 0xFE) ||
                                                 (static_cast<unsigned char>(text[0]) == 0xFE &&
                                                  static_cast<unsigned char>(text[1]) == 0xFF));
    const bool utf16Bytes = text.size() >= 2 && text[0] != '\0' && text[1] == '\0';
    if (utf16Mark || utf16Bytes) {
        problem.reason = "settings_utf16";
        problem.text =
            "the file is saved as UTF-16 (Notepad calls it \"Unicode\"): save it again with the encoding UTF-8 "
            "(in Notepad: File, Save As, Encoding: UTF-8)";
    } else if (text.find_first_not_of(" \t\r\n") == std::string_view::npos) {
        problem.reason = "settings_empty";
        problem.text = text.empty() ? "the file is empty: it must hold the settings as JSON, starting with {"
                                    : "the file holds only blanks: it must hold the settings as JSON, starting with {";
    }
    return problem;
}

SettingsProblem DescribeNumberOverflow(std::string_view text) {
    const std::string what = "a number too large to be read";
    const std::string advice = "write the value the setting needs (a setting's numbers fit in 32 bits)";
    const std::size_t offset = FirstOverflowingNumber(text);
    if (offset != std::string_view::npos) return At(text, offset, what, advice);
    SettingsProblem problem;
    problem.text = what + ": " + advice;
    return problem;
}

SettingsProblem DescribeSyntaxError(std::string_view text, std::size_t errorByte) {
    const std::size_t offset = errorByte > 0 ? std::min(errorByte - 1, text.size()) : 0;
    // Saved in ANSI (Notepad's old default, Windows-1252): the parser's word
    // for an "é" there would be a missing comma.
    const std::size_t foreign = FirstNonUtf8Byte(text);
    if (foreign != std::string_view::npos && foreign <= offset + 1) {
        SettingsProblem problem = At(text, foreign, "the file is not UTF-8 at byte " + std::to_string(foreign + 1),
                                     "save it again with the encoding UTF-8 (in Notepad: File, Save As, Encoding: "
                                     "UTF-8)");
        problem.reason = "settings_not_utf8";
        return problem;
    }
    const std::size_t backslash = FirstLoneBackslash(text);
    if (backslash != std::string_view::npos && backslash <= offset + 1) {
        SettingsProblem problem =
            At(text, backslash, "a single backslash",
               "write \\\\ for each backslash in JSON (as \"C:\\\\Logs\\\\tly_translator.log\"), or use /");
        problem.reason = "single_backslash";
        return problem;
    }
    if (offset >= text.size()) {
        return At(text, text.empty() ? 0 : text.size() - 1, "the file ends too early", "a closing \" or } is missing");
    }
    const char at = text[offset];
    if ((at == '}' || at == ']') && LastNonBlankBefore(text, offset) == ',') {
        return At(text, offset, "a comma before a closing bracket",
                  "remove the comma after the last member (JSON allows no trailing comma)");
    }
    if (at == '/' || at == '#') return At(text, offset, "a comment", "remove it (JSON allows no comments)");
    if (at == '\'') {
        return At(text, offset, "a single quote", "JSON wants double quotes (\") around names and text");
    }
    if (at == '\n' || at == '\r') {
        return At(text, offset, "a line break inside quoted text", "close the quotes on the same line");
    }
    return At(text, offset, "not valid JSON", "check for a missing comma, quote or bracket there");
}
