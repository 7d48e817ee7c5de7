// A reader's external id, "panel:reader", as the server sends it in site
// lists and notifications. Checked against the C library's own conversion:
// each side is what strtol reads from it (leading white space, a sign,
// digits), refused when it reads no digit or a number beyond 32 bits; the
// panel a reader belongs to is the one its id names.

#include "api/SiteData.h"
#include "tools/fuzz-native/FuzzCheck.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <optional>

namespace {

using fuzz_native::Check;

std::optional<std::int32_t> Converted(const std::string& text) {
    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    if (end == text.c_str() || errno == ERANGE || value < INT_MIN || value > INT_MAX) return std::nullopt;
    return static_cast<std::int32_t>(value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The id comes from a JSON string, which holds no NUL that strtol would stop at.
    const std::string text(reinterpret_cast<const char*>(data), ::strnlen(reinterpret_cast<const char*>(data), size));
    std::int32_t panel = -7;
    std::int32_t reader = -7;
    const bool read = ParseReaderExternalId(text, panel, reader);
    const std::size_t colon = text.find(':');
    std::optional<std::int32_t> expectedPanel;
    std::optional<std::int32_t> expectedReader;
    if (colon != std::string::npos) {
        expectedPanel = Converted(text.substr(0, colon));
        expectedReader = Converted(text.substr(colon + 1));
    }
    Check(read == (expectedPanel && expectedReader), "read exactly when both sides convert", text);
    if (read) Check(panel == *expectedPanel && reader == *expectedReader, "both sides as converted", text);

    // A reader belongs to the panel its id names, and to no other.
    for (const std::int32_t asked : {read ? panel : 0, read && panel != INT32_MAX ? panel + 1 : 1}) {
        std::int32_t number = -7;
        const bool belongs = IsReaderOfPanel(text, asked, &number);
        Check(belongs == (read && panel == asked), "a reader belongs to the panel its id names alone", text);
        if (belongs) Check(number == reader, "the reader's number is its id's", text);
        Check(IsReaderOfPanel(text, asked) == belongs, "the number is not needed to answer", text);
    }
    return 0;
}
