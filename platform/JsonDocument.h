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

}  // namespace tly
