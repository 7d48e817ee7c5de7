#include "tools/host-sim/Options.h"

#include <cstdint>
#include <stdexcept>

namespace hostsim {

const char* const kUsage =
    "usage: host-sim [options]\n"
    "Plays the access-control host for one or more panels against the registered translator.\n"
    "  --panels LIST         panel ids, comma separated (default 1)\n"
    "  --duration SECONDS    stop after this long (default: until Ctrl+C)\n"
    "  --poll-interval MS    pause between poll cycles (default 0; every poll waits 1 s itself)\n"
    "  --readers N           reader entries in each status request, device ids 1..N (default 8)\n"
    "  --json                print JSON lines instead of text\n"
    "  --progid NAME         the class to create (default TallyportAccessControlTranslator.AccessControlTrans)\n"
    "  --crash-on-card N     end the process inside the call-back of every card record with number N\n"
    "  --crash-how HOW       terminate (TerminateProcess on itself, default) or access-violation\n"
    "  --hold-file PATH      when PATH exists as a card record it does not list arrives, delete it and\n"
    "                        hold that call-back\n"
    "  --hold-ms MS          how long a held call-back waits before it returns (default 60000)\n"
    "  --help                this text\n";

namespace {

long long Number(const std::string& option, const std::string& text, long long low, long long high) {
    size_t used = 0;
    long long value = 0;
    try {
        value = std::stoll(text, &used, 10);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used == 0 || used != text.size() || value < low || value > high) {
        throw std::invalid_argument(option + ": not a number from " + std::to_string(low) + " to " +
                                    std::to_string(high) + ": " + text);
    }
    return value;
}

std::vector<std::int32_t> PanelList(const std::string& text) {
    std::vector<std::int32_t> panels;
    size_t start = 0;
    while (start <= text.size()) {
        const size_t comma = text.find(',', start);
        const std::string item = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        panels.push_back(static_cast<std::int32_t>(Number("--panels", item, 0, 32767)));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return panels;
}

}  // namespace

Options ParseOptions(const std::vector<std::string>& arguments) {
    Options options;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& option = arguments[i];
        auto value = [&]() -> const std::string& {
            if (i + 1 >= arguments.size()) throw std::invalid_argument(option + ": value missing");
            return arguments[++i];
        };
        if (option == "--panels") {
            options.panels = PanelList(value());
        } else if (option == "--duration") {
            options.durationSeconds = static_cast<std::uint32_t>(Number(option, value(), 0, 86400));
        } else if (option == "--poll-interval") {
            options.pollIntervalMs = static_cast<std::uint32_t>(Number(option, value(), 0, 3600000));
        } else if (option == "--readers") {
            options.readers = static_cast<std::int32_t>(Number(option, value(), 0, 255));
        } else if (option == "--json") {
            options.json = true;
        } else if (option == "--progid") {
            options.progId = value();
        } else if (option == "--crash-on-card") {
            options.crashOnCard = Number(option, value(), 0, INT64_MAX);
        } else if (option == "--crash-how") {
            const std::string& how = value();
            if (how == "terminate") {
                options.crashKind = CrashKind::Terminate;
            } else if (how == "access-violation") {
                options.crashKind = CrashKind::AccessViolation;
            } else {
                throw std::invalid_argument(option + ": terminate or access-violation, not " + how);
            }
        } else if (option == "--hold-file") {
            options.holdFile = value();
        } else if (option == "--hold-ms") {
            options.holdMs = static_cast<std::uint32_t>(Number(option, value(), 0, 3600000));
        } else if (option == "--help" || option == "-h") {
            options.help = true;
        } else {
            throw std::invalid_argument("unknown option: " + option);
        }
    }
    return options;
}

}  // namespace hostsim
