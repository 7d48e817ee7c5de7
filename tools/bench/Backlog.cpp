#include "tools/bench/Backlog.h"

#include <stdexcept>
#include <string>

namespace bench {
namespace {

const char* const kDenials[] = {"Badge Expired", "Access Denied", "Anti-Passback violation", "User not found"};

nlohmann::json Activities(std::int32_t panel, int count) {
    nlohmann::json activities = nlohmann::json::array();
    for (int i = 0; i < count; ++i) {
        const bool granted = i % 5 != 0;
        nlohmann::json activity = {{"reader_external_id", std::to_string(panel) + ":" + std::to_string(1 + i % 4)},
                                   {"badge_no", 100000 + i},
                                   {"entry_granted", granted},
                                   {"reader_name", "Gate reader"},
                                   {"door_name", "North gate"},
                                   {"timestamp", "2024-03-05T14:07:09Z"}};
        if (!granted) activity["notes"] = kDenials[(i / 5) % 4];
        activities.push_back(std::move(activity));
    }
    return activities;
}

}  // namespace

void LoadBacklog(tly::test::SimulatorControl& control, int count, bool notify) {
    control.Call("POST", "/activities/clear");
    control.Call("POST", "/activities", {{"activities", Activities(kPanel, count)}, {"notify", notify}});
}

void LoadBacklog(tly::test::SimulatorControl& control, const std::vector<std::int32_t>& panels, int count) {
    control.Call("POST", "/activities/clear");
    for (std::int32_t panel : panels) {
        control.Call("POST", "/activities", {{"activities", Activities(panel, count)}, {"notify", false}});
    }
}

void RequireDrained(tly::test::SimulatorControl& control) {
    const std::int64_t pending = control.Call("GET", "/state").at("pending_count").get<std::int64_t>();
    if (pending != 0) throw std::runtime_error(std::to_string(pending) + " activities were left pending");
}

}  // namespace bench
