// Notification latency: from the moment the simulator is asked to add an
// activity (it sends "activities_available" on the event channel) to the
// moment the activity is in the host's hands: the DLL's badge call-back, or
// for the floor the batch answer that holds it. Each child makes one run of
// 200 notifications after a few to warm up; the parent interleaves three runs
// of each and reports the median run.

#include "tools/bench/Backlog.h"
#include "tools/bench/ControlPost.h"
#include "tools/bench/FloorClient.h"
#include "tools/bench/Sections.h"
#include "tools/bench/Stopwatch.h"

#include <atomic>
#include <functional>
#include <stdexcept>
#include <thread>

namespace bench {
namespace {

constexpr int kRuns = 3;
constexpr int kSamplesPerRun = 200;
constexpr int kWarmUp = 10;
constexpr DWORD kDeliveryTimeoutMs = 10000;
constexpr DWORD kSettleMs = 10;  // between samples, so one run has ended before the next notification

// Adds one activity (the simulator announces it) and returns how long until
// `delivered` was set, as read from deliveredAtMs; throws on a time-out.
template <typename Delivered>
double OneNotification(tly::test::SimulatorControl& control, HANDLE event, int badge, Delivered deliveredAtMs) {
    const nlohmann::json activity = {{"reader_external_id", "1:1"}, {"badge_no", badge}, {"entry_granted", true},
                                     {"timestamp", "2024-03-05T14:07:09Z"}};
    const double start = NowMs();
    ControlPost(control.Port(), "/activities", {{"activities", {activity}}, {"notify", true}});
    if (::WaitForSingleObject(event, kDeliveryTimeoutMs) != WAIT_OBJECT_0) {
        throw std::runtime_error("a notification was not delivered in time");
    }
    const double latency = deliveredAtMs() - start;
    control.Call("POST", "/wait/pending", {{"max", 0}, {"timeout_ms", kDeliveryTimeoutMs}});
    ::Sleep(kSettleMs);
    return latency;
}

nlohmann::json RunSamples(tly::test::SimulatorControl& control, HANDLE event,
                          const std::function<double()>& deliveredAtMs) {
    control.Call("POST", "/activities/clear");
    for (int i = 0; i < kWarmUp; ++i) OneNotification(control, event, i, deliveredAtMs);
    Samples latency;
    for (int i = 0; i < kSamplesPerRun; ++i) latency.Add(OneNotification(control, event, 1000 + i, deliveredAtMs));
    return {{"p50", latency.Percentile(50)}, {"p99", latency.Percentile(99)}};
}

}  // namespace

nlohmann::json FloorNotificationChild(const nlohmann::json& params) {
    const SimulatorAccess access = SimulatorAccessFrom(params.at("sim"));
    tly::test::SimulatorControl control(access.controlPort);
    // Never destroyed: the receive thread stays blocked in a receive until the
    // process ends, and closing a handle under it does not wake it.
    struct Listener {
        FloorClient floor;
        tly::UniqueHandle delivered{::CreateEventW(nullptr, FALSE, FALSE, nullptr)};
        std::atomic<double> deliveredAt{0};
    };
    auto* listener = new Listener;
    FloorClient& floor = listener->floor;
    if (!floor.Connect(access.host, access.port) || !floor.Authenticate(access.clientId, access.clientSecret) ||
        !floor.OpenEvents()) {
        throw std::runtime_error("the floor client cannot connect");
    }
    // The floor's receive thread: a notification fetches the batch; the
    // activity is in hand when the answer is; then the batch is marked.
    std::thread([listener] {
        std::string message;
        while (listener->floor.ReceiveEvent(message)) {
            if (message.find("activities_available") == std::string::npos) continue;
            std::string batch;
            if (!listener->floor.Get("/pending_activities/" + std::to_string(kPanel), batch)) continue;
            std::int64_t remaining = 0;
            const std::vector<std::int64_t> ids = ScanBatch(batch, remaining);
            if (ids.empty()) continue;
            listener->deliveredAt.store(NowMs());
            ::SetEvent(listener->delivered.get());
            std::string answer;
            listener->floor.Post("/activities/batch_processed?ids=" + JoinIds(ids), answer);
        }
    }).detach();
    return RunSamples(control, listener->delivered.get(), [listener] { return listener->deliveredAt.load(); });
}

nlohmann::json DllNotificationChild(const nlohmann::json& params) {
    tly::test::SimulatorControl control(SimulatorAccessFrom(params.at("sim")).controlPort);
    TranslatorDll dll = TranslatorDll::StartForChild(params, "none", kPanel);
    Deliveries& log = DeliveryLog();
    log.signalling.store(true);
    return RunSamples(control, log.event.get(), [&] { return log.lastAtMs.load(); });
}

void MeasureNotification(BenchRun& run, ReportTable& table) {
    Samples floorP50, floorP99, dllP50, dllP99;
    for (int i = 0; i < kRuns; ++i) {
        const nlohmann::json floor = run.RunChild("floor-notification", {});
        const nlohmann::json dll = run.RunChild("dll-notification", {});
        floorP50.Add(floor.at("p50"));
        floorP99.Add(floor.at("p99"));
        dllP50.Add(dll.at("p50"));
        dllP99.Add(dll.at("p99"));
    }
    table.Add({"Notification to call-back, p50 (3 runs of 200)", MinMedian(floorP50, "ms", 2),
               MinMedian(dllP50, "ms", 2), Ratio(dllP50.Median(), floorP50.Median())});
    table.Add({"Notification to call-back, p99 (3 runs of 200)", MinMedian(floorP99, "ms", 2),
               MinMedian(dllP99, "ms", 2), Difference(dllP99.Median(), floorP99.Median(), "ms", 2)});
}

}  // namespace bench
