#pragma once
// host-sim's command line.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace hostsim {

struct Options {
    std::vector<std::int32_t> panels{1};
    std::optional<std::uint32_t> durationSeconds;  // none: until Ctrl+C
    std::uint32_t pollIntervalMs = 0;              // between cycles; each poll already waits 1 s
    std::int32_t readers = 8;                      // status entries 1..readers after the panel's entry 0
    bool json = false;
    std::string progId = "TallyportAccessControlTranslator.AccessControlTrans";
    bool help = false;
};

// Throws std::invalid_argument with a message naming the bad option.
Options ParseOptions(const std::vector<std::string>& arguments);

extern const char* const kUsage;

}  // namespace hostsim
