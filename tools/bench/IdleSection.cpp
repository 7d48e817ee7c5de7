// Idle cost: a connected panel with nothing to do, polled once a second as the
// host polls (each poll runs the health tick), with the event channel alive.
// With heartbeats on the channel its liveness needs no request at all;
// without them the health check asks "/status" every 30 s, two a minute,
// once the channel has been silent for its liveness period (60 s): that
// window is let pass before the measured one, so it shows the steady state.

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
constexpr int kSilentChannelSeconds = 62;  // the liveness period and a margin

}  // namespace

nlohmann::json DllIdleChild(const nlohmann::json& params) {
    tly::test::SimulatorControl control(SimulatorAccessFrom(params.at("sim")).controlPort);
    TranslatorDll dll = TranslatorDll::StartForChild(params, "none", kPanel);
    control.Call("POST", "/wait/ws_clients", {{"count", 1}, {"timeout_ms", 10000}});
    ::Sleep(kSettleMs);
    const auto poll = [&dll](int seconds) {
        for (int second = 0; second < seconds; ++second) {
            dll.GetSubscribed(kPanel);
            ::Sleep(kPollIntervalMs);
        }
    };
    poll(params.at("lead_in_seconds").get<int>());

    control.Call("POST", "/requests/clear");
    const double cpuStart = ProcessCpuMs();
    const double start = NowMs();
    poll(params.at("seconds").get<int>());
    const double minutes = (NowMs() - start) / 60000.0;
    const double cpu = ProcessCpuMs() - cpuStart;
    const auto requests = control.Call("GET", "/requests").at("count").get<double>();
    return {{"requests_per_minute", requests / minutes}, {"cpu_ms_per_minute", cpu / minutes}};
}

void MeasureIdle(BenchRun& run, ReportTable& table) {
    const int seconds = run.Options().idleSeconds;
    run.Simulator().Call("POST", "/config", {{"heartbeat_interval_ms", kHeartbeatIntervalMs}});
    const nlohmann::json beating = run.RunChild("dll-idle", {{"seconds", seconds}, {"lead_in_seconds", 0}});
    run.Simulator().Call("POST", "/config", {{"heartbeat_interval_ms", 0}});
    const nlohmann::json silent =
        run.RunChild("dll-idle", {{"seconds", seconds}, {"lead_in_seconds", kSilentChannelSeconds}});

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
