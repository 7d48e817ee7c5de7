// A large site: 5,000 doors, 20,000 readers (625 on each of 32 panels) and 500
// handhelds, half of them connected, with 1, 8 and 32 panels open in one
// process. Each panel's host thread does what the host does every second: a
// poll (the translator's 1 s wait, the health tick, both transition queues)
// and a status request. Over the steady state (after a warm-up) it counts the
// requests the server received, site-wide and per panel, times each status
// request, counts the reader records the host would receive, and reads the
// process's private memory at the start and every sampling interval after.
// The floor fetches and parses the four lists of one status request and does
// nothing else; the floor of requests is one reader list per status request
// plus one pending list per panel a second: 2 per panel a second.

#include "tools/bench/FloorClient.h"
#include "tools/bench/ProcessProbe.h"
#include "tools/bench/Sections.h"
#include "tools/bench/Stopwatch.h"
#include "translator/ReportedReaderStates.h"

#include <atomic>
#include <algorithm>
#include <memory>
#include <mutex>
#include <span>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace bench {
namespace {

constexpr int kSitePanels = 32;
constexpr int kReaders = 20000;
constexpr int kDoors = 5000;
constexpr int kHandhelds = 500;
constexpr int kPanelCounts[] = {1, 8, 32};
constexpr DWORD kPollWaitMs = 1000;  // the translator's own wait in every poll
constexpr int kFloorRounds = 30;
constexpr double kRequestsPerPanelSecondFloor = 2.0;
constexpr int kMemorySamples = 20;  // over each steady state

// Least-squares slope of (minute, MiB) pairs: MiB a minute.
double SlopePerMinute(const nlohmann::json& samples) {
    double n = 0, sumX = 0, sumY = 0, sumXY = 0, sumXX = 0;
    for (const nlohmann::json& sample : samples) {
        const double x = sample.at(0).get<double>();
        const double y = sample.at(1).get<double>();
        n += 1;
        sumX += x;
        sumY += y;
        sumXY += x * y;
        sumXX += x * x;
    }
    const double denominator = n * sumXX - sumX * sumX;
    return denominator > 0 ? (n * sumXY - sumX * sumY) / denominator : 0;
}

std::string ReaderExternalId(int readerId) {
    return std::to_string((readerId - 1) % kSitePanels + 1) + ":" + std::to_string((readerId - 1) / kSitePanels + 1);
}

// Readers are dealt to the panels in turn, so every panel has door readers and
// handheld readers. Door d is entered at reader 2d-1 and left at reader 2d;
// handheld h has a reader of its own (same guid), the h-th one no door uses,
// and serves door h*D/H; the odd-numbered handhelds are connected.
nlohmann::json LargeSite() {
    nlohmann::json doors = nlohmann::json::array();
    for (int d = 1; d <= kDoors; ++d) {
        doors.push_back({{"id", d},
                         {"name", "Door " + std::to_string(d)},
                         {"external_id", "D" + std::to_string(d)},
                         {"external_entry_reader_id", 2 * d - 1},
                         {"external_exit_reader_id", 2 * d}});
    }
    std::vector<nlohmann::json> readers;
    for (int r = 1; r <= kReaders; ++r) {
        readers.push_back({{"id", r},
                           {"external_id", ReaderExternalId(r)},
                           {"name", "Reader " + std::to_string(r)},
                           {"guid", ""},
                           {"door_id", r <= 2 * kDoors ? (r + 1) / 2 : 0}});
    }
    nlohmann::json handhelds = nlohmann::json::array();
    nlohmann::json connected = nlohmann::json::array();
    for (int h = 1; h <= kHandhelds; ++h) {
        const int own = 2 * kDoors + h;
        const int door = std::max(1, h * kDoors / kHandhelds);
        const std::string guid = "HH-" + std::to_string(10000 + h);
        readers[own - 1]["guid"] = guid;
        readers[own - 1]["door_id"] = door;
        handhelds.push_back({{"id", 100000 + h},
                             {"name", "Handheld " + std::to_string(h)},
                             {"guid", guid},
                             {"external_id", ReaderExternalId(own)},
                             {"door_id", door}});
        if (h % 2 == 1) connected.push_back(100000 + h);
    }
    nlohmann::json perPanel = nlohmann::json::object();
    for (int r = 1; r <= kReaders; ++r) perPanel[std::to_string((r - 1) % kSitePanels + 1)].push_back(readers[r - 1]);
    return {{"doors", doors}, {"handhelds", handhelds}, {"readers", perPanel}, {"connected", connected}};
}

// One panel's host: its reader states as the translator reports them, and the
// status requests it timed.
struct PanelHost {
    std::int32_t panel = 0;
    ReportedReaderStates reported;
    std::vector<double> statusMs;
    std::int64_t transitions = 0;  // entries drained from both queues
    std::int64_t records = 0;      // reader records the host receives
};

std::span<const ReaderStatusEntry> Entries(const ReaderStatusList& list) {
    return {list.items, static_cast<size_t>(list.items ? list.count : 0)};
}

void RunPanelHost(TranslatorDll& dll, PanelHost& host, const std::atomic<bool>& steady,
                  const std::atomic<bool>& stop) {
    while (!stop) {
        ::Sleep(kPollWaitMs);
        dll.GetSubscribed(host.panel);
        ReaderStatusList offline{nullptr, 0};
        ReaderStatusList online{nullptr, 0};
        dll.GetReadersGoneOffline(host.panel, &offline);
        dll.GetReadersGoneOnline(host.panel, &online);
        const auto changes = host.reported.TakeChanges(Entries(offline), Entries(online));
        const bool counted = steady;
        if (counted) {
            host.transitions += static_cast<std::int64_t>(Entries(offline).size() + Entries(online).size());
            host.records += static_cast<std::int64_t>(changes.size());
        }
        delete[] offline.items;
        delete[] online.items;

        ReaderStatusList status{nullptr, 0};
        const double start = NowMs();
        dll.GetReadersStatus3(host.panel, &status);
        const double elapsed = NowMs() - start;
        delete[] status.items;
        if (counted) host.statusMs.push_back(elapsed);
    }
}

// Requests per path kind over the steady state.
struct RequestCounts {
    double siteWide = 0;  // "/doors", "/handhelds", "/connected-readers"
    double perPanel = 0;  // a panel's readers and its pending activities
    double all = 0;
};

// Adds the requests listed since the last call. The simulator keeps only its
// latest 20,000 requests, fewer than a long 32-panel run makes, so the run
// reads them as it goes.
void CountRequestsSince(tly::test::SimulatorControl& control, std::int64_t& lastSeq, RequestCounts& counts) {
    const nlohmann::json requests = control.Call("GET", "/requests", {{"since_seq", lastSeq}});
    for (const nlohmann::json& request : requests.at("requests")) {
        lastSeq = std::max(lastSeq, request.at("seq").get<std::int64_t>());
        const std::string path = request.at("path").get<std::string>();
        const std::string endpoint = path.substr(std::min(path.size(), std::string("/api/corvanta").size()));
        if (endpoint == "/doors" || endpoint == "/handhelds" || endpoint == "/connected-readers") {
            counts.siteWide += 1;
        } else if (endpoint.rfind("/panels/", 0) == 0 || endpoint.rfind("/pending_activities/", 0) == 0) {
            counts.perPanel += 1;
        }
        counts.all += 1;
    }
}

}  // namespace

nlohmann::json FloorLargeSiteChild(const nlohmann::json& params) {
    const SimulatorAccess access = SimulatorAccessFrom(params.at("sim"));
    FloorClient floor;
    if (!floor.Connect(access.host, access.port) || !floor.Authenticate(access.clientId, access.clientSecret)) {
        throw std::runtime_error("the floor client cannot connect");
    }
    const std::vector<std::string> lists = {"/doors", "/handhelds", "/panels/1/readers", "/connected-readers"};
    Samples rounds;
    const int count = params.at("rounds").get<int>();
    for (int round = 0; round <= count; ++round) {
        const double start = NowMs();
        for (const std::string& list : lists) {
            std::string body;
            if (!floor.Get(list, body)) throw std::runtime_error("the floor could not fetch " + list);
            const nlohmann::json document = nlohmann::json::parse(body);
            if (!document.is_object()) throw std::runtime_error(list + " is not an object");
        }
        if (round > 0) rounds.Add(NowMs() - start);  // the first round warms the connection
    }
    return {{"p50_ms", rounds.Percentile(50)}, {"p99_ms", rounds.Percentile(99)}};
}

nlohmann::json DllLargeSiteChild(const nlohmann::json& params) {
    tly::test::SimulatorControl control(SimulatorAccessFrom(params.at("sim")).controlPort);
    TranslatorDll dll = TranslatorDll::StartForChild(params, "none", 1);
    const int panels = params.at("panels").get<int>();
    for (std::int32_t panel = 2; panel <= panels; ++panel) {
        if (!dll.Open(panel) || !dll.Connect(panel)) throw std::runtime_error("panel " + std::to_string(panel));
    }
    control.Call("POST", "/wait/ws_clients", {{"count", 1}, {"timeout_ms", 10000}});

    std::vector<std::unique_ptr<PanelHost>> hosts;
    std::atomic<bool> steady{false};
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    // Should a step below throw, the panel threads still stop and are joined,
    // and the child reports the error rather than ending in terminate.
    struct StopAndJoin {
        std::atomic<bool>& stop;
        std::vector<std::thread>& threads;
        ~StopAndJoin() {
            stop = true;
            for (std::thread& thread : threads) {
                if (thread.joinable()) thread.join();
            }
        }
    } stopAndJoin{stop, threads};
    for (std::int32_t panel = 1; panel <= panels; ++panel) {
        hosts.push_back(std::make_unique<PanelHost>());
        hosts.back()->panel = panel;
        threads.emplace_back(RunPanelHost, std::ref(dll), std::ref(*hosts.back()), std::cref(steady),
                             std::cref(stop));
    }
    // Past the first status requests, which report every reader once.
    ::Sleep(static_cast<DWORD>(params.at("warmup_seconds").get<int>() * 1000));
    control.Call("POST", "/requests/clear");
    const ProcessSnapshot first = TakeProcessSnapshot();
    const double start = NowMs();
    steady = true;
    // Private memory at the start and at even intervals, (minute, MiB), so
    // that a climb that levels off can be told from one that goes on.
    nlohmann::json privateMiB = nlohmann::json::array({nlohmann::json::array({0.0, first.privateMiB})});
    const DWORD sampleMs = static_cast<DWORD>(params.at("seconds").get<int>() * 1000 / kMemorySamples);
    RequestCounts requests;
    std::int64_t lastSeq = 0;
    for (int sample = 0; sample < kMemorySamples; ++sample) {
        ::Sleep(sampleMs);
        // Memory first: reading the request list takes memory of this
        // process that is the bench's, not the DLL's.
        privateMiB.push_back({(NowMs() - start) / 60000.0, TakeProcessSnapshot().privateMiB});
        CountRequestsSince(control, lastSeq, requests);
    }
    steady = false;
    const double minutes = (NowMs() - start) / 60000.0;
    const ProcessSnapshot last = TakeProcessSnapshot();
    stop = true;
    for (std::thread& thread : threads) thread.join();

    Samples status;
    std::int64_t transitions = 0;
    std::int64_t records = 0;
    for (const auto& host : hosts) {
        for (double ms : host->statusMs) status.Add(ms);
        transitions += host->transitions;
        records += host->records;
    }
    return {{"requests_per_minute", requests.all / minutes},
            {"per_panel_per_second", requests.perPanel / minutes / 60.0 / panels},
            {"site_wide_per_minute", requests.siteWide / minutes},
            {"per_panel_per_minute", requests.perPanel / minutes},
            {"status_requests", status.Values().size()},
            {"status_p50_ms", status.Percentile(50)},
            {"status_p99_ms", status.Percentile(99)},
            {"transitions_per_minute", static_cast<double>(transitions) / minutes},
            {"records_per_minute", static_cast<double>(records) / minutes},
            {"working_set_mib", {first.workingSetMiB, last.workingSetMiB}},
            {"private_mib", privateMiB}};
}

void MeasureLargeSite(BenchRun& run, ReportTable& table) {
    const nlohmann::json standing = run.Simulator().Call("GET", "/site");
    run.Simulator().Call("POST", "/site", LargeSite());
    const nlohmann::json floor = run.RunChild("floor-large-site", {{"rounds", kFloorRounds}});
    const double floorP50 = floor.at("p50_ms").get<double>();
    const double floorP99 = floor.at("p99_ms").get<double>();
    const std::string floorLists = Fixed(floorP50, 1) + " / " + Fixed(floorP99, 1) + " ms";
    table.Add({"Large site: four lists fetched and parsed, p50 / p99", floorLists, "—", "—"});

    for (int panels : kPanelCounts) {
        const int seconds = panels == kSitePanels ? std::max(run.Options().largeSiteSeconds,
                                                             run.Options().largeSiteMemoryMinutes * 60)
                                                  : run.Options().largeSiteSeconds;
        const nlohmann::json result =
            run.RunChild("dll-large-site", {{"panels", panels},
                                            {"seconds", seconds},
                                            {"warmup_seconds", run.Options().largeSiteWarmupSeconds}});
        const std::string label = "Large site, " + std::to_string(panels) + (panels == 1 ? " panel" : " panels");
        const auto value = [&result](const char* name, int decimals) {
            return Fixed(result.at(name).get<double>(), decimals);
        };
        table.Add({label + ": requests per minute, site-wide lists / per panel / all", "—",
                   value("site_wide_per_minute", 0) + " / " + value("per_panel_per_minute", 0) + " / " +
                       value("requests_per_minute", 0),
                   "site-wide about 180 (3 a second)"});
        table.Add({label + ": server requests per panel a second (one reader list per status request and one "
                           "pending list per panel)",
                   Fixed(kRequestsPerPanelSecondFloor, 1), value("per_panel_per_second", 2),
                   Ratio(result.at("per_panel_per_second").get<double>(), kRequestsPerPanelSecondFloor)});
        table.Add({label + ": status request p50 / p99 beside the four lists'", floorLists,
                   value("status_p50_ms", 1) + " / " + value("status_p99_ms", 1) + " ms",
                   Ratio(result.at("status_p50_ms").get<double>(), floorP50) + " / " +
                       Ratio(result.at("status_p99_ms").get<double>(), floorP99)});
        table.Add({label + ": reader records per minute at the host (transitions drained)", "—",
                   value("records_per_minute", 1) + " (" + value("transitions_per_minute", 0) + ")", "minimum 0"});
        const nlohmann::json& memory = result.at("working_set_mib");
        table.Add({label + ": working set at start / end of the steady state", "—",
                   Fixed(memory.at(0).get<double>(), 1) + " / " + Fixed(memory.at(1).get<double>(), 1) + " MiB",
                   "—"});
        const nlohmann::json& samples = result.at("private_mib");
        std::string quarters;
        for (size_t i = 0; i < samples.size(); i += kMemorySamples / 4) {
            quarters += (quarters.empty() ? "" : " / ") + Fixed(samples.at(i).at(1).get<double>(), 1);
        }
        table.Add({label + ": private memory over " + std::to_string(seconds / 60) +
                       " min of steady state (start and each quarter); slope",
                   "—", quarters + " MiB; " + Fixed(SlopePerMinute(samples), 3) + " MiB a minute",
                   "slope under 0.1"});
    }
    run.Simulator().Call("POST", "/site", {{"doors", standing.at("doors")},
                                           {"handhelds", standing.at("handhelds")},
                                           {"readers", standing.at("readers")}});
}

}  // namespace bench
