// The native lane's stand-in for the data-protection API's decryption
// (settings/SecretProtection.cpp), which needs Windows. Deterministic, so
// both of the reader's paths can be reached from a text: a value in Base64's
// alphabet, padded to a whole number of four-character groups as Base64
// text is, "decrypts" to "decrypted:" followed by that text; any other value
// cannot be decrypted, and gives empty as the real one does.

#include "settings/SecretProtection.h"

#include <cstring>

namespace {

bool LooksLikeBase64(const std::string& text) {
    if (text.empty() || text.size() % 4 != 0) return false;
    const std::size_t padding = text.find('=');
    if (padding != std::string::npos && (text.size() - padding > 2 || text.find_first_not_of('=', padding) !=
                                                                           std::string::npos)) {
        return false;
    }
    const std::size_t end = padding == std::string::npos ? text.size() : padding;
    for (std::size_t i = 0; i < end; ++i) {
        if (text[i] == '\0' || !std::strchr("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/", text[i])) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::string DpapiDecrypt(const std::string& text) { return LooksLikeBase64(text) ? "decrypted:" + text : std::string(); }
