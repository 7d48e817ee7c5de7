// host-sim: plays the access-control host for one or more panels against the
// registered translator and prints every event record it receives.

#include "tools/host-sim/CallbackFaults.h"
#include "tools/host-sim/EventPrinter.h"
#include "tools/host-sim/Options.h"
#include "tools/host-sim/PanelHost.h"
#include "platform/UniqueResource.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

HANDLE stopEvent = nullptr;

BOOL WINAPI OnConsoleControl(DWORD) {
    if (stopEvent) ::SetEvent(stopEvent);
    return TRUE;
}

}  // namespace

int main(int argc, char** argv) {
    hostsim::Options options;
    try {
        options = hostsim::ParseOptions(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::invalid_argument& e) {
        std::fprintf(stderr, "host-sim: %s\n%s", e.what(), hostsim::kUsage);
        return 2;
    }
    if (options.help) {
        std::fputs(hostsim::kUsage, stdout);
        return 0;
    }

    tly::UniqueHandle stop(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!stop) return 1;
    stopEvent = stop.get();
    ::SetConsoleCtrlHandler(&OnConsoleControl, TRUE);

    hostsim::EventPrinter printer(options.json);
    hostsim::CallbackFaults faults(options, printer, stop.get());
    std::vector<int> results(options.panels.size(), 0);
    std::vector<std::thread> panels;
    for (size_t i = 0; i < options.panels.size(); ++i) {
        panels.emplace_back([&, i] {
            try {
                results[i] = hostsim::RunPanel(options, options.panels[i], printer, faults, stop.get());
            } catch (const std::exception& e) {
                std::fprintf(stderr, "host-sim: panel %d: %s\n", options.panels[i], e.what());
                results[i] = 1;
            }
            // A panel that could not be hosted ends the run for all.
            if (results[i] != 0) ::SetEvent(stop.get());
        });
    }
    const DWORD wait = options.durationSeconds ? *options.durationSeconds * 1000 : INFINITE;
    ::WaitForSingleObject(stop.get(), wait);
    ::SetEvent(stop.get());
    for (std::thread& panel : panels) panel.join();
    ::SetConsoleCtrlHandler(&OnConsoleControl, FALSE);
    stopEvent = nullptr;
    return *std::max_element(results.begin(), results.end());
}
