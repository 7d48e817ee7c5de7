#include "tools/tallyport-check/Options.h"

#include <cerrno>
#include <cstdlib>
#include <limits>

const char kUsage[] =
    "usage: tallyport-check [--panel N] [--json]\n"
    "       tallyport-check --host-typelib FILE [--json]\n"
    "       tallyport-check --release-held PANEL:ID\n"
    "\n"
    "Checks the translator installed beside this program, read-only: the settings\n"
    "file, the client secret, the server's name, port, certificate, credentials,\n"
    "status and event channel, and the log file. --panel N also lists what the\n"
    "server holds for panel N. --host-typelib compares the host's type library\n"
    "with the translator's own instead. --release-held lets the translator offer\n"
    "an activity it holds back to the host again (stop the host first). Exit code:\n"
    "0 every step passed, 1 a step failed, 2 bad usage.\n";

namespace {

bool ParsePanel(const std::string& text, std::int32_t& panel) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
    errno = 0;
    const long long value = std::strtoll(text.c_str(), nullptr, 10);
    if (errno != 0 || value > std::numeric_limits<std::int32_t>::max()) return false;
    panel = static_cast<std::int32_t>(value);
    return true;
}

}  // namespace

bool ParseOptions(const std::vector<std::string>& arguments, Options& options, std::string& error) {
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        const bool hasValue = i + 1 < arguments.size();
        if (argument == "--json") {
            options.json = true;
        } else if (argument == "--help" || argument == "-h" || argument == "/?") {
            options.help = true;
        } else if (argument == "--panel") {
            std::int32_t panel = 0;
            if (!hasValue || !ParsePanel(arguments[++i], panel)) {
                error = "--panel needs a panel number (0 or more)";
                return false;
            }
            options.panel = panel;
        } else if (argument == "--release-held") {
            if (!hasValue || arguments[i + 1].empty()) {
                error = "--release-held needs PANEL:ID";
                return false;
            }
            options.releaseHeld = arguments[++i];
        } else if (argument == "--host-typelib") {
            if (!hasValue || arguments[i + 1].empty()) {
                error = "--host-typelib needs the host's type library file";
                return false;
            }
            options.hostTypeLibrary = arguments[++i];
        } else {
            error = "unknown argument: " + argument;
            return false;
        }
    }
    if (options.panel && !options.hostTypeLibrary.empty()) {
        error = "--panel and --host-typelib do not go together";
        return false;
    }
    return true;
}
