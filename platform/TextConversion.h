#pragma once
// UTF-8 inside the system, UTF-16 only at Windows and COM boundaries.

#include <string>
#include <string_view>

namespace tly {

// Invalid UTF-8 sequences become U+FFFD; never throws except on memory exhaustion.
std::wstring Utf8ToWide(std::string_view text);

// Unpaired surrogates become U+FFFD.
std::string WideToUtf8(std::wstring_view text);

}  // namespace tly
