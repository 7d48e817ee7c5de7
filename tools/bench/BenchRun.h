#pragma once
// One run of the bench, as the parent process sees it: the simulator every
// measure talks to, the DLL under test, and the child processes that do the
// measuring. Each child is a fresh process of this program: a host loads the
// DLL once per process, the first TLS connection of a process costs extra,
// and memory and handles are then the child's own.

#include "tests/support/Simulator.h"
#include "tools/bench/TranslatorDll.h"

#include <nlohmann/json.hpp>

#include <string>

namespace bench {

struct BenchOptions {
    std::string dllPath;
    std::string workDirectory;  // scratch: module directories, child parameters and results
    int repetitions = 5;        // of each throughput and start-up measure
    int idleSeconds = 60;       // of each idle window
    int largeSiteSeconds = 60;  // of each large-site run's steady state
    // Long enough for a process with 32 panels to reach its steady memory:
    // its connections to the server and its heap grow for the first half
    // minute or so, then stay.
    int largeSiteWarmupSeconds = 45;
    // The 32-panel run's steady state, long enough to tell a slow climb of
    // memory from noise: its slope per minute is the figure.
    int largeSiteMemoryMinutes = 10;
};

class BenchRun {
public:
    BenchRun(BenchOptions options, tly::test::Simulator& simulator);

    const BenchOptions& Options() const { return options_; }
    const SimulatorAccess& Access() const { return access_; }
    tly::test::Simulator& Simulator() { return simulator_; }

    // Runs this program as child `kind` with params (plus the simulator's
    // access, the DLL and a fresh module directory) and returns its result;
    // throws when the child fails.
    nlohmann::json RunChild(const std::string& kind, nlohmann::json params);

private:
    BenchOptions options_;
    tly::test::Simulator& simulator_;
    SimulatorAccess access_;
};

// Entry of a child process: reads its parameters, returns its result.
using ChildMain = nlohmann::json (*)(const nlohmann::json& params);

}  // namespace bench
