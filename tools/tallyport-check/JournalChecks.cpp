#include "tools/tallyport-check/JournalChecks.h"

#include "api/DeliveryJournal.h"
#include "logging/DataDirectory.h"
#include "logging/Log.h"

#include <map>

nlohmann::json JournalUsageJson(const JournalUsage& usage) {
    nlohmann::json byPanel = nlohmann::json::object();
    for (const auto& [panel, count] : usage.takenByPanel) byPanel[std::to_string(panel)]["taken"] = count;
    for (const auto& [panel, count] : usage.heldBackByPanel) byPanel[std::to_string(panel)]["held_back"] = count;
    return {{"taken", usage.taken},
            {"held_back", usage.heldBack},
            {"file_bytes", usage.fileBytes},
            {"most_taken", journal::kMostTakenSlots},
            {"panels", byPanel}};
}

// How much of the journal the panel's activities take, and the whole file:
// ids the host took whose marks have not succeeded pile up while marks fail,
// and at the bound delivery waits.
StepResult CheckJournalUsage(std::int32_t panel) {
    constexpr char kStep[] = "journal";
    JournalUsage usage;
    std::string reason;
    if (!ReadJournalUsage(DataDirectory(), usage, reason)) {
        if (reason == "no delivery journal") return StepResult::Passed(kStep, "no delivery journal yet");
        return StepResult::Failed(kStep, "journal_unreadable", "the delivery journal cannot be read: " + reason,
                                  "the translator sets a damaged journal aside at its next start; if it cannot "
                                  "open it either, its log says why");
    }
    const auto countOf = [panel](const std::map<std::int32_t, std::size_t>& counts) {
        auto found = counts.find(panel);
        return found == counts.end() ? std::size_t{0} : found->second;
    };
    const std::string detail = "panel " + std::to_string(panel) + ": " +
                               Counted(countOf(usage.takenByPanel), "activity") + " taken and not yet marked, " +
                               std::to_string(countOf(usage.heldBackByPanel)) + " held back; all panels: " +
                               std::to_string(usage.taken) + " taken and not yet marked of at most " +
                               std::to_string(journal::kMostTakenSlots) + ", " + std::to_string(usage.heldBack) +
                               " held back; the file is " + std::to_string(usage.fileBytes) + " bytes";
    StepResult result = usage.taken >= journal::kMostTakenSlots
                            ? StepResult::Failed(kStep, "journal_full", detail,
                                                 "delivery waits until marks succeed: see why marking fails in the "
                                                 "log (activities.batch_mark_failed)")
                            : StepResult::Passed(kStep, detail);
    result.data = JournalUsageJson(usage);
    return result;
}

StepResult CheckHeldBackActivities(std::int32_t panel) {
    std::vector<journal::Activity> held;
    for (journal::Activity& activity : ReadHeldActivities(DataDirectory())) {
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

bool ReleaseHeldBack(std::int32_t panel, std::int32_t id, std::string& text) {
    std::string reason;
    if (!ReleaseHeldActivity(DataDirectory(), panel, id, reason)) {
        text = "not released: " + reason;
        return false;
    }
    text = "released activity " + std::to_string(id) + " of panel " + std::to_string(panel) +
           ": the translator offers it to the host again at its next start";
    return true;
}
