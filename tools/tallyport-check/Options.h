#pragma once
// The check's command line.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct Options {
    std::optional<std::int32_t> panel;  // --panel N
    bool json = false;                  // --json
    std::string hostTypeLibrary;        // --host-typelib FILE: compare type libraries instead of checking the site
    struct HeldActivity {
        std::int32_t panel = 0;
        std::int32_t id = 0;
    };
    std::optional<HeldActivity> releaseHeld;  // --release-held PANEL:ID: release a held-back activity
    bool help = false;                  // --help
    bool version = false;               // --version
    std::string bundle;                 // --bundle FILE.zip: also write the support bundle
    bool status = false;                // --status: the running translators' live status instead of the check
    bool watch = false;                 // --watch: refreshed in place every second (with --status)
    std::uint32_t refreshes = 0;        // --refreshes N: a watch ends after N pictures (0: at Ctrl+C)
};

// False (with the reason in error) for usage the check does not understand.
bool ParseOptions(const std::vector<std::string>& arguments, Options& options, std::string& error);

extern const char kUsage[];
