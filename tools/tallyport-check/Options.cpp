#include "tools/tallyport-check/Options.h"

#include <cerrno>
#include <cstdlib>
#include <limits>

const char kUsage[] =
    "usage: tallyport-check [--panel N] [--json] [--bundle FILE.zip]\n"
    "       tallyport-check --host-typelib FILE [--json]\n"
    "       tallyport-check --release-held PANEL:ID\n"
    "       tallyport-check --status [--json | --watch [--refreshes N]]\n"
    "       tallyport-check --version\n"
    "\n"
    "Checks the translator installed beside this program, read-only: its COM\n"
    "registration and the object's creation, the settings file, the client secret,\n"
    "the server's name, port, certificate, credentials, status, clock and event\n"
    "channel, the log file and the folder's rights. --panel N also lists what the\n"
    "server holds for panel N and the activities the translator holds back for it.\n"
    "--host-typelib compares the host's type library with the translator's own\n"
    "instead. --release-held lets the translator offer an activity it holds back to\n"
    "the host again (stop the host first). --bundle also writes a support bundle:\n"
    "the report, the settings without the client id and secret, the end of the\n"
    "logs, the versions, the registration and installation, the proxy setting, the\n"
    "clock and the held-back activities. --version prints the versions of the check\n"
    "and of the translator beside it. --status shows what each running translator\n"
    "is doing now, from the status it writes beside its log, instead of checking;\n"
    "--watch refreshes it every second until Ctrl+C (or N times). Exit code: 0\n"
    "every step passed (a warning passes; with --status: every status is live),\n"
    "1 a step failed (or the bundle could not be written; with --status: no status,\n"
    "or one is stale), 2 bad usage.\n";

namespace {

// A whole number that fits in 32 bits, optionally negative.
bool ParseInt32(const std::string& text, std::int32_t& value) {
    if (text.empty() || text.find_first_not_of("-0123456789") != std::string::npos) return false;
    errno = 0;
    char* end = nullptr;
    const long long parsed = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || parsed < std::numeric_limits<std::int32_t>::min() ||
        parsed > std::numeric_limits<std::int32_t>::max()) {
        return false;
    }
    value = static_cast<std::int32_t>(parsed);
    return true;
}

// "PANEL:ID", both whole numbers.
bool ParseHeldActivity(const std::string& text, Options::HeldActivity& held) {
    const std::size_t colon = text.find(':');
    return colon != std::string::npos && ParseInt32(text.substr(0, colon), held.panel) &&
           ParseInt32(text.substr(colon + 1), held.id);
}

// A panel number: digits only, no sign.
bool ParsePanel(const std::string& text, std::int32_t& panel) {
    return text.find_first_not_of("0123456789") == std::string::npos && ParseInt32(text, panel);
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
            Options::HeldActivity held;
            if (!hasValue || !ParseHeldActivity(arguments[++i], held)) {
                error = "--release-held needs PANEL:ID, for example 1:4711";
                return false;
            }
            options.releaseHeld = held;
        } else if (argument == "--status") {
            options.status = true;
        } else if (argument == "--watch") {
            options.watch = true;
        } else if (argument == "--refreshes") {
            std::int32_t refreshes = 0;
            if (!hasValue || !ParsePanel(arguments[++i], refreshes) || refreshes == 0) {
                error = "--refreshes needs a number of refreshes (1 or more)";
                return false;
            }
            options.refreshes = static_cast<std::uint32_t>(refreshes);
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
    if ((options.watch || options.refreshes != 0) && !options.status) {
        error = options.watch ? "--watch goes with --status" : "--refreshes goes with --status --watch";
        return false;
    }
    if (options.refreshes != 0 && !options.watch) {
        error = "--refreshes goes with --status --watch";
        return false;
    }
    if (options.status && (options.panel || !options.bundle.empty() || !options.hostTypeLibrary.empty() ||
                           options.releaseHeld)) {
        error = "--status goes with none of --panel, --bundle, --host-typelib, --release-held";
        return false;
    }
    if (options.watch && options.json) {
        error = "--watch is for a console; --json gives one picture for scripts";
        return false;
    }
    if ((options.panel || !options.bundle.empty()) && !options.hostTypeLibrary.empty()) {
        error = "--host-typelib goes with neither --panel nor --bundle";
        return false;
    }
    return true;
}
