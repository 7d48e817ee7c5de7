#include "settings/ThumbprintText.h"

#include <cctype>

std::string NormalizeThumbprint(const std::string& text) {
    std::string normalized;
    normalized.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (std::isspace(byte) || c == ':' || c == '-') continue;
        normalized.push_back(static_cast<char>(std::tolower(byte)));
    }
    return normalized;
}
