#include "tools/tallyport-check/UnsavedPin.h"

#include "platform/FileAccess.h"

#include <nlohmann/json.hpp>

std::optional<UnsavedPin> FindUnsavedPin(const std::string& logPath) {
    std::string bytes;
    if (!ReadWholeFile(logPath, bytes)) return std::nullopt;
    // From the last line back: the first pin line met decides.
    std::size_t end = bytes.size();
    while (end > 0) {
        const std::size_t start = bytes.rfind('\n', end - 1);
        const std::size_t from = start == std::string::npos ? 0 : start + 1;
        const std::string_view line(bytes.data() + from, end - from);
        end = start == std::string::npos ? 0 : start;
        if (line.find("\"tofu.") == std::string_view::npos) continue;  // most lines, unparsed
        const nlohmann::json parsed = nlohmann::json::parse(line, nullptr, false);
        if (!parsed.is_object() || !parsed.contains("event") || !parsed["event"].is_string()) continue;
        const std::string event = parsed["event"].get<std::string>();
        if (event == "tofu.thumbprint_saved" || event == "tofu.pin_replaced") return std::nullopt;
        if (event != "tofu.thumbprint_not_saved" || parsed.value("level", "") != "error") continue;
        const nlohmann::json fields = parsed.value("fields", nlohmann::json::object());
        UnsavedPin pin;
        pin.thumbprint = fields.value("thumbprint", "");
        pin.reason = fields.value("reason", "");
        pin.timestamp = parsed.value("timestamp", "");
        if (pin.thumbprint.empty()) continue;
        return pin;
    }
    return std::nullopt;
}
