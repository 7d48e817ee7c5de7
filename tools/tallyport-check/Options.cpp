#include "tools/tallyport-check/Options.h"

#include <cerrno>
#include <cstdlib>
#include <limits>

const char kUsage[] =
    "usage: tallyport-check [--panel N] [--json] [--bundle FILE.zip]\n"
    "       tallyport-check --host-typelib FILE [--json]\n"
    "       tallyport-check --release-held PANEL:ID\n"
    "       tallyport-check --version\n"
    "\n"
    "Checks the translator installed beside this program, read-only: its COM\n"
    "registration, the settings file, the client secret, the server's name, port,\n"
    "certificate, credentials, status and event channel, the log file and the\n"
    "folder's rights. --panel N also lists what the server holds for panel N and\n"
    "the activities the translator holds back for it. --host-typelib compares the\n"
    "host's type library with the translator's own instead. --release-held lets\n"
    "the translator offer an activity it holds back to the host again (stop the\n"
    "host first). --bundle also writes a support bundle: the report, the settings\n"
    "without the client id and secret, the end of the logs, the versions, the\n"
    "registration and the held-back activities. --version prints the versions of\n"
    "the check and of the translator beside it. Exit code: 0 every step passed, 1\n"
    "a step failed (or the bundle could not be written), 2 bad usage.\n";

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
        } else if (argument == "--version") {
            options.version = true;
        } else if (argument == "--help" || argument == "-h" || argument == "/?") {
            options.help = true;
        } else if (argument == "--panel") {
            std::int32_t panel = 0;
            if (!hasValue || !ParsePanel(arguments[++i], panel)) {
                error = "--panel needs a panel number (0 or more)";
                return false;
            }
            options.panel = panel;
        } else if (argument == "--bundle") {
            if (!hasValue || arguments[i + 1].empty()) {
                error = "--bundle needs the name of the zip file to write";
                return false;
            }
            options.bundle = arguments[++i];
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
    if ((options.panel || !options.bundle.empty()) && !options.hostTypeLibrary.empty()) {
        error = "--host-typelib goes with neither --panel nor --bundle";
        return false;
    }
    return true;
}
