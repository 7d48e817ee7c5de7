// Start-up: from a fresh process's LoadLibrary of the DLL to its first
// successful connect (token, "/status" and the event channel), beside the
// floor client opening the same requests from a fresh process. The first TLS
// connection of a process is the larger part of both.

#include "tools/bench/FloorClient.h"
#include "tools/bench/Sections.h"
#include "tools/bench/Stopwatch.h"

#include <stdexcept>

namespace bench {

nlohmann::json FloorStartupChild(const nlohmann::json& params) {
    const SimulatorAccess access = SimulatorAccessFrom(params.at("sim"));
    const double start = NowMs();
    FloorClient floor;
    std::string status;
    if (!floor.Connect(access.host, access.port) || !floor.Authenticate(access.clientId, access.clientSecret) ||
        !floor.Get("/status", status) || !floor.OpenEvents()) {
        throw std::runtime_error("the floor client cannot connect");
    }
    return {{"ms", NowMs() - start}};
}

nlohmann::json DllStartupChild(const nlohmann::json& params) {
    const std::string directory = TranslatorDll::PrepareForChild(params, "none");
    const double start = NowMs();
    TranslatorDll dll;
    dll.LoadAndStart(directory, 1);
    return {{"ms", NowMs() - start}};
}

void MeasureStartup(BenchRun& run, ReportTable& table) {
    Samples floor, dll;
    for (int rep = 0; rep < run.Options().repetitions; ++rep) {
        floor.Add(run.RunChild("floor-startup", {}).at("ms"));
        dll.Add(run.RunChild("dll-startup", {}).at("ms"));
    }
    table.Add({"LoadLibrary to first successful connect", MinMedian(floor, "ms", 0), MinMedian(dll, "ms", 0),
               Ratio(dll.Median(), floor.Median())});
}

}  // namespace bench
