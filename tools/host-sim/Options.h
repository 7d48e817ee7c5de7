#pragma once
// host-sim's command line.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace hostsim {

// How host-sim ends itself on the crash card: TerminateProcess on itself, or
// an access violation nobody catches.
enum class CrashKind { Terminate, AccessViolation };

struct Options {
    std::vector<std::int32_t> panels{1};
    std::optional<std::uint32_t> durationSeconds;  // none: until Ctrl+C
    std::uint32_t pollIntervalMs = 0;              // between cycles; each poll already waits 1 s
    std::int32_t readers = 8;                      // status entries 1..readers after the panel's entry 0
    bool json = false;
    std::string progId = "TallyportAccessControlTranslator.AccessControlTrans";
    // Faults played inside the sink's call for a card record (CallbackFaults).
    std::optional<std::int64_t> crashOnCard;       // end the process on this card number, every time
    CrashKind crashKind = CrashKind::Terminate;
    std::string holdFile;                          // its appearance holds the next card's call-back
    std::uint32_t holdMs = 60000;                  // how long a held call-back waits for its end
    bool help = false;
};

// Throws std::invalid_argument with a message naming the bad option.
Options ParseOptions(const std::vector<std::string>& arguments);

extern const char* const kUsage;

}  // namespace hostsim
