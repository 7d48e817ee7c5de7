#pragma once
// Parsing JSON that comes from outside the process (server responses,
// WebSocket messages, files an operator or another program wrote). The JSON
// library's parser does not recurse, but writing, copying and comparing a
// document do, so a document nested thousands of levels deep would exhaust
// the stack later, far from where it was read. Every outside document is
// therefore measured first and refused when it is nested deeper than
// kMostJsonNesting, before anything recursive touches it.

#include <nlohmann/json.hpp>

#include <cstddef>
#include <string_view>

namespace tly {

constexpr std::size_t kMostJsonNesting = 64;

// True when no array or object in the text lies deeper than the bound. Looks
// at brackets outside strings only; says nothing about whether the text is JSON.
bool JsonNestingWithin(std::string_view text, std::size_t mostLevels = kMostJsonNesting) noexcept;

// Strict parse: throws nlohmann::json::parse_error for text that is not JSON,
// and the same error type for text nested too deeply, so callers keep one
// failure path.
nlohmann::json ParseJson(std::string_view text);

// Non-throwing parse: a discarded value (is_discarded()) for text that is not
// JSON or is nested too deeply.
nlohmann::json ParseJsonOrDiscard(std::string_view text) noexcept;

// A UTF-8 byte order mark, which some servers and editors put before a
// document. One at the very start of a document is skipped by every reader of
// a whole document: ParseJson and ParseJsonOrDiscard through the JSON
// library's parser, which skips one at the start of any text it is given; the
// outline (JsonOutline.h) and the quick batch reader through
// WithoutByteOrderMark. So a document reads alike in all of them. One mark
// only: a second one, or one after white space, is not JSON.
inline constexpr std::string_view kUtf8ByteOrderMark = "\xEF\xBB\xBF";

// The text without one leading byte order mark; the text itself when it has none.
constexpr std::string_view WithoutByteOrderMark(std::string_view text) noexcept {
    return text.substr(0, kUtf8ByteOrderMark.size()) == kUtf8ByteOrderMark ? text.substr(kUtf8ByteOrderMark.size())
                                                                           : text;
}

}  // namespace tly
