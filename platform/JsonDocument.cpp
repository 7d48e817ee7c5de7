#include "platform/JsonDocument.h"

#include <string>

namespace tly {

namespace {

// The offset of the bracket that passes the bound, or npos.
std::size_t OffsetPastBound(std::string_view text, std::size_t mostLevels) noexcept {
    std::size_t depth = 0;
    bool inString = false;
    bool escaped = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                inString = false;
            }
            continue;
        }
        switch (c) {
        case '"':
            inString = true;
            break;
        case '[':
        case '{':
            if (++depth > mostLevels) return i;
            break;
        case ']':
        case '}':
            if (depth > 0) --depth;
            break;
        default:
            break;
        }
    }
    return std::string_view::npos;
}

}  // namespace

bool JsonNestingWithin(std::string_view text, std::size_t mostLevels) noexcept {
    return OffsetPastBound(text, mostLevels) == std::string_view::npos;
}

nlohmann::json ParseJson(std::string_view text) {
    const std::size_t offset = OffsetPastBound(text, kMostJsonNesting);
    if (offset != std::string_view::npos) {
        throw nlohmann::json::parse_error::create(
            101, offset + 1, "nesting deeper than " + std::to_string(kMostJsonNesting) + " levels", nullptr);
    }
    return nlohmann::json::parse(text);
}

nlohmann::json ParseJsonOrDiscard(std::string_view text) noexcept {
    try {
        if (!JsonNestingWithin(text)) return nlohmann::json(nlohmann::json::value_t::discarded);
        return nlohmann::json::parse(text, nullptr, false);
    } catch (...) {
        // Only memory exhaustion gets here.
        return nlohmann::json(nlohmann::json::value_t::discarded);
    }
}

}  // namespace tly
