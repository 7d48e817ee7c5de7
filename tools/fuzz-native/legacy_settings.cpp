// The legacy text settings an operator wrote: "key,value" lines. Whatever the
// text, the record keeps a port that is either what a line gave (an optional
// sign and digits within 32 bits) or the default, and a host name that is a
// trimmed value from one line of the text.

#include "settings/LegacySettingsText.h"
#include "tools/fuzz-native/FuzzCheck.h"

using fuzz_native::Check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    TranslatorSettings settings;
    settings.hostname = "\x01unchanged";
    ApplyLegacySettingsText(text, settings);
    if (settings.hostname != "\x01unchanged") {
        Check(text.find(settings.hostname) != std::string::npos, "the host name comes from the text", text);
        Check(settings.hostname.find('\n') == std::string::npos, "the host name is one line", text);
        if (!settings.hostname.empty()) {
            Check(settings.hostname.front() != ' ' && settings.hostname.back() != ' ' &&
                      settings.hostname.front() != '\t' && settings.hostname.back() != '\r',
                  "the host name is trimmed", text);
        }
    }
    Check(settings.log_level == "none" || settings.log_level == "debug", "the level is the default or debug", text);
    if (settings.port != 30001) {
        const std::string digits = std::to_string(settings.port < 0 ? -static_cast<std::int64_t>(settings.port)
                                                                    : static_cast<std::int64_t>(settings.port));
        Check(text.find(digits) != std::string::npos, "a port other than the default is written in the text", text);
    }
    return 0;
}
