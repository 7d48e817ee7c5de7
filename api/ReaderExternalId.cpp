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

bool IsReaderOfPanel(const std::string& externalId, std::int32_t panelId, std::int32_t* reader) {
    std::int32_t panel = 0;
    std::int32_t number = 0;
    if (!ParseReaderExternalId(externalId, panel, number) || panel != panelId) return false;
    if (reader) *reader = number;
    return true;
}
