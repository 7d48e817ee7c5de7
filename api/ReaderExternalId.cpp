#include "api/SiteData.h"

#include <exception>

namespace {

bool ToInt32(const std::string& text, std::int32_t& value) {
    try {
        value = std::stoi(text, nullptr, 10);
        return true;
    } catch (const std::exception&) {
        return false;  // no digits, or outside the 32-bit range
    }
}

}  // namespace

bool ParseReaderExternalId(const std::string& text, std::int32_t& panel, std::int32_t& reader) {
    const size_t colon = text.find(':');
    if (text.empty() || colon == std::string::npos) return false;
    if (!ToInt32(text.substr(0, colon), panel)) return false;
    return ToInt32(text.substr(colon + 1), reader);
}
