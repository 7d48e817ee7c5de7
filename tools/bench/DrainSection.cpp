// Drain throughput: a backlog of 10,000 activities fetched and marked in
// batches of 100 by one fetch call, at log levels none, info and debug, beside
// the floor client making the same requests. Each child drains once to warm
// up, then three times measured; the parent interleaves the children, so a
// change of the machine's load touches floor and DLL alike, and every drain
// is one sample, so a moment's hiccup moves the median less.
//
// Each child also gives the CPU time it spent in its measured drains, and the
// Wine server's over the same drains: a call into the system under Wine is a
// round trip to the server, so a cost paid per activity in system calls shows
// there first. The delivery journal's own cost per activity, measured apart
// with no server, stands beside them.

#include "tools/bench/Backlog.h"
#include "tools/bench/FloorClient.h"
#include "tools/bench/ProcessProbe.h"
#include "tools/bench/Sections.h"
#include "tools/bench/Stopwatch.h"

#include <algorithm>
#include <iterator>
#include <stdexcept>

namespace bench {
namespace {

constexpr int kBacklog = 10000;
constexpr int kWarmUp = 100;
constexpr int kDrainsPerChild = 3;
const char* const kLevels[] = {"none", "info", "debug"};

void AddAll(Samples& samples, const nlohmann::json& values) {
    for (const nlohmann::json& value : values) samples.Add(value.get<double>());
}

// CPU time of this process and of the Wine server across the measured drains.
class CpuAcrossDrains {
public:
    void Start() {
        processFrom_ = ProcessCpuMs();
        serverFrom_ = WineServerCpuMs();
    }
    void Stop() {
        processMs_ += ProcessCpuMs() - processFrom_;
        const double server = WineServerCpuMs();
        serverMs_ = (server < 0 || serverFrom_ < 0 || serverMs_ < 0) ? -1 : serverMs_ + server - serverFrom_;
    }
    void AddTo(nlohmann::json& result, int activities) const {
        result["process_cpu_ms"] = processMs_;
        result["server_cpu_ms"] = serverMs_;
        result["activities"] = activities;
    }

private:
    double processFrom_ = 0;
    double serverFrom_ = 0;
    double processMs_ = 0;
    double serverMs_ = 0;
};

// Microseconds of CPU per activity over every child's measured drains.
struct CpuPerActivity {
    double processMs = 0;
    double serverMs = 0;
    double activities = 0;

    void Add(const nlohmann::json& result) {
        processMs += result.at("process_cpu_ms").get<double>();
        const double server = result.at("server_cpu_ms").get<double>();
        serverMs = (server < 0 || serverMs < 0) ? -1 : serverMs + server;
        activities += result.at("activities").get<double>();
    }
    std::string Text() const {
        if (activities <= 0) return "—";
        const std::string server = serverMs < 0 ? "—" : Fixed(serverMs * 1000.0 / activities, 1);
        return "process " + Fixed(processMs * 1000.0 / activities, 1) + " µs, Wine server " + server + " µs";
    }
    double ServerUs() const { return serverMs < 0 || activities <= 0 ? -1 : serverMs * 1000.0 / activities; }
};

}  // namespace

nlohmann::json FloorDrainChild(const nlohmann::json& params) {
    const SimulatorAccess access = SimulatorAccessFrom(params.at("sim"));
    tly::test::SimulatorControl control(access.controlPort);
    FloorClient floor;
    if (!floor.Connect(access.host, access.port) || !floor.Authenticate(access.clientId, access.clientSecret)) {
        throw std::runtime_error("the floor client cannot connect");
    }
    LoadBacklog(control, kWarmUp);
    floor.Drain(kPanel);

    const int count = params.at("count").get<int>();
    nlohmann::json ms = nlohmann::json::array();
    CpuAcrossDrains cpu;
    for (int drain = 0; drain < kDrainsPerChild; ++drain) {
        LoadBacklog(control, count);
        cpu.Start();
        const double start = NowMs();
        const std::int64_t drained = floor.Drain(kPanel);
        ms.push_back(NowMs() - start);
        cpu.Stop();
        if (drained != count) throw std::runtime_error("the floor drained " + std::to_string(drained));
        RequireDrained(control);
    }
    nlohmann::json result = {{"ms", ms}};
    cpu.AddTo(result, count * kDrainsPerChild);
    return result;
}

nlohmann::json DllDrainChild(const nlohmann::json& params) {
    tly::test::SimulatorControl control(SimulatorAccessFrom(params.at("sim")).controlPort);
    TranslatorDll dll = TranslatorDll::StartForChild(params, params.at("level").get<std::string>(), kPanel);
    LoadBacklog(control, kWarmUp);
    dll.FetchPendingActivities();

    const int count = params.at("count").get<int>();
    nlohmann::json ms = nlohmann::json::array();
    CpuAcrossDrains cpu;
    for (int drain = 0; drain < kDrainsPerChild; ++drain) {
        LoadBacklog(control, count);
        const std::int64_t before = DeliveryLog().count.load();
        cpu.Start();
        const double start = NowMs();
        dll.FetchPendingActivities();
        ms.push_back(NowMs() - start);
        cpu.Stop();
        const std::int64_t delivered = DeliveryLog().count.load() - before;
        if (delivered != count) throw std::runtime_error("the DLL delivered " + std::to_string(delivered));
        RequireDrained(control);
    }
    nlohmann::json result = {{"ms", ms}};
    cpu.AddTo(result, count * kDrainsPerChild);
    return result;
}


// Host calls against a backlog the host needs far longer to take than a call
// may last: four panels, each with 30 s of deliveries at 10 ms a record. Each
// call must come back within its bound (about 10 s) while the worker goes on;
// then the panels are closed while the worker is in a delivery.
nlohmann::json DllHostCallBoundChild(const nlohmann::json& params) {
    const std::vector<std::int32_t> panels = {1, 2, 3, 4};
    constexpr int kHostMs = 10;
    constexpr int kPerPanel = 30000 / kHostMs;
    tly::test::SimulatorControl control(SimulatorAccessFrom(params.at("sim")).controlPort);
    TranslatorDll dll;
    dll.LoadAndStart(dll.PrepareForChild(params, "info"), panels[0]);
    for (size_t i = 1; i < panels.size(); ++i) {
        if (!dll.Open(panels[i]) || !dll.Connect(panels[i])) throw std::runtime_error("a panel cannot connect");
    }
    LoadBacklog(control, panels, kPerPanel);
    DeliveryLog().hostMsPerDelivery.store(kHostMs);

    nlohmann::json callMs = nlohmann::json::array();
    const auto timed = [&](auto call) {
        const double start = NowMs();
        call();
        callMs.push_back(NowMs() - start);
    };
    for (int round = 0; round < 2; ++round) {
        timed([&] { dll.FetchPendingActivities(); });
        for (std::int32_t panel : panels) {
            timed([&] {
                ReaderStatusList list{nullptr, 0};
                dll.GetReadersStatus3(panel, &list);
                delete[] list.items;
            });
        }
        timed([&] { dll.GetSubscribed(panels[0]); });
    }
    const double closeStart = NowMs();
    for (std::int32_t panel : panels) dll.Close(panel);
    const double closeMs = NowMs() - closeStart;
    return {{"call_ms", callMs}, {"close_ms", closeMs}, {"delivered", DeliveryLog().count.load()},
            {"backlog", kPerPanel * static_cast<int>(panels.size())}};
}

void MeasureDrain(BenchRun& run, ReportTable& table) {
    Samples floor;
    Samples dll[std::size(kLevels)];
    CpuPerActivity floorCpu;
    CpuPerActivity dllCpu[std::size(kLevels)];
    for (int rep = 0; rep < run.Options().repetitions; ++rep) {
        const nlohmann::json floorResult = run.RunChild("floor-drain", {{"count", kBacklog}});
        AddAll(floor, floorResult.at("ms"));
        floorCpu.Add(floorResult);
        for (size_t i = 0; i < std::size(kLevels); ++i) {
            const nlohmann::json result = run.RunChild("dll-drain", {{"count", kBacklog}, {"level", kLevels[i]}});
            AddAll(dll[i], result.at("ms"));
            dllCpu[i].Add(result);
        }
    }
    for (size_t i = 0; i < std::size(kLevels); ++i) {
        const std::string level = "level \"" + std::string(kLevels[i]) + "\"";
        table.Add({"Drain 10,000 activities, batches of 100, one fetch call, " + level, MinMedian(floor, "ms", 0),
                   MinMedian(dll[i], "ms", 0),
                   Ratio(dll[i].Median(), floor.Median()) + " (min " + Ratio(dll[i].Min(), floor.Min()) + ")"});
        const double serverUs = dllCpu[i].ServerUs();
        const double floorServerUs = floorCpu.ServerUs();
        table.Add({"CPU per activity in that drain, " + level, floorCpu.Text(), dllCpu[i].Text(),
                   serverUs < 0 || floorServerUs < 0 ? "—"
                                                     : "Wine server " + Difference(serverUs, floorServerUs, "µs", 1)});
    }

    const nlohmann::json journal = run.RunChild("journal", {{"ids", kBacklog}});
    const double journalUs = (journal.at("take_ns").get<double>() + journal.at("mark_ns").get<double>()) / 1000.0;
    table.Add({"Delivery journal's own cost per activity in that drain (no server)", "—",
               Fixed(journalUs, 2) + " µs", "limit 1 µs"});

    const nlohmann::json bound = run.RunChild("dll-host-call-bound", nlohmann::json::object());
    double longest = 0;
    for (const nlohmann::json& ms : bound.at("call_ms")) longest = std::max(longest, ms.get<double>());
    table.Add({"Longest host call (fetch, status, subscription) with 4 panels of 30 s backlog each; close of all 4",
               "—", std::to_string(static_cast<int>(longest)) + " ms; close " +
                        std::to_string(static_cast<int>(bound.at("close_ms").get<double>())) + " ms",
               "bound about 10 s"});
}

}  // namespace bench
