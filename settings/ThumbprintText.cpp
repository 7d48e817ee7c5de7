#include "settings/ThumbprintText.h"

#include <cctype>
#include <string_view>

namespace {

// Characters that show as nothing or as a blank, in UTF-8: what Windows'
// certificate dialog puts before the thumbprint it shows (U+200E), the other
// direction marks and embeddings (U+200F, U+202A..U+202E), zero-width spaces
// and joiners (U+200B..U+200D, U+2060), the byte order mark (U+FEFF) and the
// no-break spaces (U+00A0, U+202F). The length of the one at text[i], or 0.
std::size_t InvisibleAt(std::string_view text, std::size_t i) {
    const auto byte = [&](std::size_t k) { return i + k < text.size() ? static_cast<unsigned char>(text[i + k]) : 0; };
    if (byte(0) == 0xC2 && byte(1) == 0xA0) return 2;
    if (byte(0) == 0xEF && byte(1) == 0xBB && byte(2) == 0xBF) return 3;
    if (byte(0) == 0xE2 && byte(1) == 0x81 && byte(2) == 0xA0) return 3;
    if (byte(0) == 0xE2 && byte(1) == 0x80) {
        const unsigned char last = byte(2);
        if ((last >= 0x8B && last <= 0x8F) || (last >= 0xAA && last <= 0xAF)) return 3;
    }
    return 0;
}

}  // namespace

std::string NormalizeThumbprint(const std::string& text) {
    std::string normalized;
    normalized.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (const std::size_t invisible = InvisibleAt(text, i)) {
            i += invisible - 1;
            continue;
        }
        const char c = text[i];
        const auto byte = static_cast<unsigned char>(c);
        if (std::isspace(byte) || c == ':' || c == '-') continue;
        normalized.push_back(static_cast<char>(std::tolower(byte)));
    }
    return normalized;
}
