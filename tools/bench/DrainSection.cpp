// Drain throughput: a backlog of 10,000 activities fetched and marked in
// batches of 100 by one fetch call, at log levels none, info and debug, beside
// the floor client making the same requests. Each child drains once to warm
// up, then three times measured; the parent interleaves the children, so a
// change of the machine's load touches floor and DLL alike, and every drain
// is one sample, so a moment's hiccup moves the median less.

#include "tools/bench/Backlog.h"
#include "tools/bench/FloorClient.h"
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
    for (int drain = 0; drain < kDrainsPerChild; ++drain) {
        LoadBacklog(control, count);
        const double start = NowMs();
        const std::int64_t drained = floor.Drain(kPanel);
        ms.push_back(NowMs() - start);
        if (drained != count) throw std::runtime_error("the floor drained " + std::to_string(drained));
        RequireDrained(control);
    }
    return {{"ms", ms}};
}

nlohmann::json DllDrainChild(const nlohmann::json& params) {
    tly::test::SimulatorControl control(SimulatorAccessFrom(params.at("sim")).controlPort);
    TranslatorDll dll = TranslatorDll::StartForChild(params, params.at("level").get<std::string>(), kPanel);
    LoadBacklog(control, kWarmUp);
    dll.FetchPendingActivities();

    const int count = params.at("count").get<int>();
    nlohmann::json ms = nlohmann::json::array();
    for (int drain = 0; drain < kDrainsPerChild; ++drain) {
        LoadBacklog(control, count);
        const std::int64_t before = DeliveryLog().count.load();
        const double start = NowMs();
        dll.FetchPendingActivities();
        ms.push_back(NowMs() - start);
        const std::int64_t delivered = DeliveryLog().count.load() - before;
        if (delivered != count) throw std::runtime_error("the DLL delivered " + std::to_string(delivered));
        RequireDrained(control);
    }
    return {{"ms", ms}};
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
    for (int rep = 0; rep < run.Options().repetitions; ++rep) {
        AddAll(floor, run.RunChild("floor-drain", {{"count", kBacklog}}).at("ms"));
        for (size_t i = 0; i < std::size(kLevels); ++i) {
            AddAll(dll[i], run.RunChild("dll-drain", {{"count", kBacklog}, {"level", kLevels[i]}}).at("ms"));
        }
    }
    for (size_t i = 0; i < std::size(kLevels); ++i) {
        table.Add({"Drain 10,000 activities, batches of 100, one fetch call, level \"" + std::string(kLevels[i]) + "\"",
                   MinMedian(floor, "ms", 0), MinMedian(dll[i], "ms", 0), Ratio(dll[i].Median(), floor.Median())});
    }

    const nlohmann::json bound = run.RunChild("dll-host-call-bound", nlohmann::json::object());
    double longest = 0;
    for (const nlohmann::json& ms : bound.at("call_ms")) longest = std::max(longest, ms.get<double>());
    table.Add({"Longest host call (fetch, status, subscription) with 4 panels of 30 s backlog each; close of all 4",
               "—", std::to_string(static_cast<int>(longest)) + " ms; close " +
                        std::to_string(static_cast<int>(bound.at("close_ms").get<double>())) + " ms",
               "bound about 10 s"});
}

}  // namespace bench
