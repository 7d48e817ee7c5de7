// Idle cost: a connected panel with nothing to do, polled once a second as the
// host polls (each poll runs the health tick), with the event channel alive.
// With heartbeats on the channel its liveness needs no request at all;
// without them the health check asks "/status" every 30 s, two a minute.

#include "tools/bench/Backlog.h"
#include "tools/bench/ProcessProbe.h"
#include "tools/bench/Sections.h"
#include "tools/bench/Stopwatch.h"

#include <stdexcept>

namespace bench {
namespace {

constexpr DWORD kPollIntervalMs = 1000;
constexpr int kHeartbeatIntervalMs = 10000;
constexpr DWORD kSettleMs = 2000;  // the connect's own requests are over

}  // namespace

nlohmann::json DllIdleChild(const nlohmann::json& params) {
    const SimulatorAccess access = SimulatorAccessFrom(params.at("sim"));
    tly::test::SimulatorControl control(access.controlPort);
    const std::string directory = params.at("module_dir").get<std::string>();
    TranslatorDll::Prepare(params.at("dll").get<std::string>(), directory, access, "none");
    TranslatorDll dll;
    if (!dll.Load(directory) || !dll.Start(kPanel)) throw std::runtime_error("the DLL cannot connect");
    control.Call("POST", "/wait/ws_clients", {{"count", 1}, {"timeout_ms", 10000}});
    ::Sleep(kSettleMs);

    const int seconds = params.at("seconds").get<int>();
    control.Call("POST", "/requests/clear");
    const double cpuStart = ProcessCpuMs();
    const double start = NowMs();
    for (int poll = 0; poll < seconds; ++poll) {
        dll.GetSubscribed(kPanel);
        ::Sleep(kPollIntervalMs);
    }
    const double minutes = (NowMs() - start) / 60000.0;
    const double cpu = ProcessCpuMs() - cpuStart;
    const auto requests = control.Call("GET", "/requests").at("count").get<double>();
    return {{"requests_per_minute", requests / minutes}, {"cpu_ms_per_minute", cpu / minutes}};
}

void MeasureIdle(BenchRun& run, ReportTable& table) {
    const int seconds = run.Options().idleSeconds;
    run.Simulator().Call("POST", "/config", {{"heartbeat_interval_ms", kHeartbeatIntervalMs}});
    const nlohmann::json beating = run.RunChild("dll-idle", {{"seconds", seconds}});
    run.Simulator().Call("POST", "/config", {{"heartbeat_interval_ms", 0}});
    const nlohmann::json silent = run.RunChild("dll-idle", {{"seconds", seconds}});

    const auto perMinute = [](const nlohmann::json& result) {
        return Fixed(result.at("requests_per_minute").get<double>(), 1);
    };
    table.Add({"Idle requests per minute, channel alive, heartbeats every 10 s", "—", perMinute(beating),
               "minimum 0"});
    table.Add({"Idle requests per minute, channel alive, no heartbeats", "—", perMinute(silent), "minimum 2"});
    table.Add({"Idle CPU per minute (heartbeats / none)", "—",
               Fixed(beating.at("cpu_ms_per_minute").get<double>(), 0) + " / " +
                   Fixed(silent.at("cpu_ms_per_minute").get<double>(), 0) + " ms",
               "—"});
}

}  // namespace bench
