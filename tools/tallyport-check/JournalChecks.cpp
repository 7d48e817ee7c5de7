#include "tools/tallyport-check/JournalChecks.h"

#include "api/DeliveryJournal.h"
#include "logging/Log.h"

#include <cerrno>
#include <cstdlib>
#include <limits>

namespace {

bool ParseInt32(const std::string& text, std::int32_t& value) {
    if (text.empty() || text.find_first_not_of("-0123456789") != std::string::npos) return false;
    errno = 0;
    char* end = nullptr;
    const long long parsed = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || parsed < std::numeric_limits<std::int32_t>::min() ||
        parsed > std::numeric_limits<std::int32_t>::max()) {
        return false;
    }
    value = static_cast<std::int32_t>(parsed);
    return true;
}

}  // namespace

StepResult CheckHeldBackActivities(std::int32_t panel) {
    std::vector<journal::Activity> held;
    for (journal::Activity& activity : ReadHeldActivities(ModuleDirectory())) {
        if (activity.panelId == panel) held.push_back(std::move(activity));
    }
    if (held.empty()) return StepResult::Passed("held_back", "no activity of panel " + std::to_string(panel) + " held back");
    StepResult result = StepResult::Failed(
        "held_back", "held_back",
        Counted(held.size(), "activity") + " of panel " + std::to_string(panel) +
            " held back: the host process ended twice while it was being handed each",
        "find out why the host fails on it (its text is below); then, with the host stopped, run "
        "tallyport-check --release-held " + std::to_string(panel) + ":ID to offer it again, or remove it on the server");
    result.data["activities"] = nlohmann::json::array();
    for (const journal::Activity& activity : held) {
        result.listing.push_back("adm_id " + std::to_string(activity.admId) + ", badge " +
                                 std::to_string(activity.badgeNo) + ": " + activity.text);
        result.data["activities"].push_back(
            {{"adm_id", activity.admId}, {"badge_no", activity.badgeNo}, {"activity", activity.text}});
    }
    return result;
}

bool ReleaseHeldBack(const std::string& panelAndId, std::string& text) {
    const std::size_t colon = panelAndId.find(':');
    std::int32_t panel = 0;
    std::int32_t id = 0;
    if (colon == std::string::npos || !ParseInt32(panelAndId.substr(0, colon), panel) ||
        !ParseInt32(panelAndId.substr(colon + 1), id)) {
        text = "--release-held needs PANEL:ID, for example 1:4711";
        return false;
    }
    std::string reason;
    if (!ReleaseHeldActivity(ModuleDirectory(), panel, id, reason)) {
        text = "not released: " + reason;
        return false;
    }
    text = "released activity " + std::to_string(id) + " of panel " + std::to_string(panel) +
           ": the translator offers it to the host again at its next start";
    return true;
}
