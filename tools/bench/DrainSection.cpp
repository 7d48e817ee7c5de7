// Drain throughput: a backlog of 10,000 activities fetched and marked in
// batches of 100 by one fetch call, at log levels none, info and debug, beside
// the floor client making the same requests. Each child drains once to warm
// up, then once measured; the parent interleaves the children, so a change of
// the machine's load touches floor and DLL alike.

#include "tools/bench/Backlog.h"
#include "tools/bench/FloorClient.h"
#include "tools/bench/Sections.h"
#include "tools/bench/Stopwatch.h"

#include <iterator>
#include <stdexcept>

namespace bench {
namespace {

constexpr int kBacklog = 10000;
constexpr int kWarmUp = 100;
const char* const kLevels[] = {"none", "info", "debug"};

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
    LoadBacklog(control, count);
    const double start = NowMs();
    const std::int64_t drained = floor.Drain(kPanel);
    const double elapsed = NowMs() - start;
    if (drained != count) throw std::runtime_error("the floor drained " + std::to_string(drained));
    RequireDrained(control);
    return {{"ms", elapsed}};
}

nlohmann::json DllDrainChild(const nlohmann::json& params) {
    tly::test::SimulatorControl control(SimulatorAccessFrom(params.at("sim")).controlPort);
    TranslatorDll dll = TranslatorDll::StartForChild(params, params.at("level").get<std::string>(), kPanel);
    LoadBacklog(control, kWarmUp);
    dll.FetchPendingActivities();

    const int count = params.at("count").get<int>();
    LoadBacklog(control, count);
    const std::int64_t before = DeliveryLog().count.load();
    const double start = NowMs();
    dll.FetchPendingActivities();
    const double elapsed = NowMs() - start;
    const std::int64_t delivered = DeliveryLog().count.load() - before;
    if (delivered != count) throw std::runtime_error("the DLL delivered " + std::to_string(delivered));
    RequireDrained(control);
    return {{"ms", elapsed}};
}

void MeasureDrain(BenchRun& run, ReportTable& table) {
    Samples floor;
    Samples dll[std::size(kLevels)];
    for (int rep = 0; rep < run.Options().repetitions; ++rep) {
        floor.Add(run.RunChild("floor-drain", {{"count", kBacklog}}).at("ms"));
        for (size_t i = 0; i < std::size(kLevels); ++i) {
            dll[i].Add(run.RunChild("dll-drain", {{"count", kBacklog}, {"level", kLevels[i]}}).at("ms"));
        }
    }
    for (size_t i = 0; i < std::size(kLevels); ++i) {
        table.Add({"Drain 10,000 activities, batches of 100, one fetch call, level \"" + std::string(kLevels[i]) + "\"",
                   MinMedian(floor, "ms", 0), MinMedian(dll[i], "ms", 0), Ratio(dll[i].Median(), floor.Median())});
    }
}

}  // namespace bench
