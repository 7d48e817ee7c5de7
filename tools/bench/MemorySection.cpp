// Memory, handles and threads of a host process after the DLL has delivered
// 1,000, 10,000 and 50,000 activities, logging at level "info" (so the log is
// written and rotated meanwhile). Flat means nothing grows with the count.

#include "tools/bench/Backlog.h"
#include "tools/bench/ProcessProbe.h"
#include "tools/bench/Sections.h"

#include <algorithm>
#include <stdexcept>

namespace bench {
namespace {

const int kCheckpoints[] = {1000, 10000, 50000};
constexpr int kMostPerLoad = 10000;
constexpr int kMostFetches = 100;

nlohmann::json ToJson(const ProcessSnapshot& snapshot) {
    return {{"working_set_mib", snapshot.workingSetMiB},
            {"private_mib", snapshot.privateMiB},
            {"handles", snapshot.handles},
            {"threads", snapshot.threads}};
}

// Fetch calls until the simulator holds nothing pending.
void DrainAll(TranslatorDll& dll, tly::test::SimulatorControl& control) {
    for (int fetch = 0; fetch < kMostFetches; ++fetch) {
        dll.FetchPendingActivities();
        if (control.Call("GET", "/state").at("pending_count").get<std::int64_t>() == 0) return;
    }
    throw std::runtime_error("the DLL left activities pending");
}

std::string Series(const nlohmann::json& snapshots, const char* key, int decimals) {
    std::string text;
    for (const auto& snapshot : snapshots) {
        if (!text.empty()) text += " / ";
        text += Fixed(snapshot.at(key).get<double>(), decimals);
    }
    return text;
}

}  // namespace

nlohmann::json DllMemoryChild(const nlohmann::json& params) {
    tly::test::SimulatorControl control(SimulatorAccessFrom(params.at("sim")).controlPort);
    TranslatorDll dll = TranslatorDll::StartForChild(params, "info", kPanel);

    nlohmann::json snapshots = nlohmann::json::array();
    int delivered = 0;
    for (const int checkpoint : kCheckpoints) {
        while (delivered < checkpoint) {
            const int load = std::min(kMostPerLoad, checkpoint - delivered);
            LoadBacklog(control, load);
            DrainAll(dll, control);
            delivered += load;
        }
        snapshots.push_back(ToJson(TakeProcessSnapshot()));
    }
    if (DeliveryLog().count.load() != delivered) throw std::runtime_error("the DLL missed activities");
    return {{"snapshots", snapshots}};
}

void MeasureMemory(BenchRun& run, ReportTable& table) {
    const nlohmann::json snapshots = run.RunChild("dll-memory", {}).at("snapshots");
    const auto growth = [&](const char* key, const char* unit, int decimals) {
        return Difference(snapshots.back().at(key).get<double>(), snapshots.front().at(key).get<double>(), unit,
                          decimals);
    };
    table.Add({"Working set after 1,000 / 10,000 / 50,000 activities", "—",
               Series(snapshots, "working_set_mib", 1) + " MiB", growth("working_set_mib", "MiB", 1)});
    table.Add({"Private memory after 1,000 / 10,000 / 50,000 activities", "—",
               Series(snapshots, "private_mib", 1) + " MiB", growth("private_mib", "MiB", 1)});
    table.Add({"Handles after 1,000 / 10,000 / 50,000 activities", "—", Series(snapshots, "handles", 0),
               growth("handles", "", 0)});
    table.Add({"Threads after 1,000 / 10,000 / 50,000 activities", "—", Series(snapshots, "threads", 0),
               growth("threads", "", 0)});
}

}  // namespace bench
