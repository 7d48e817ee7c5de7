// The event channel's notifications as the server sends them, one per line of
// the input, dispatched into a small site. Checked: a message that is not JSON
// changes nothing and asks for no run; only "activities_available" asks for a
// run; the status snapshot lists each reader once, and only the panel's; the
// transitions drained belong to the panel asked for.

#include "api/ChannelMessages.h"
#include "tools/fuzz-native/FuzzCheck.h"

#include <nlohmann/json.hpp>

#include <set>
#include <string>
#include <vector>

namespace {

using fuzz_native::Check;

// The same small site, loaded whole or list by list as the loader does.
void InstallSite(SiteModel& site, bool wholeAtOnce) {
    std::vector<DoorInfo> doors = {{3, "Gate", "D3", 7, 8}, {5, "Dock", "D5", 9, 10}};
    std::vector<HandheldInfo> handhelds = {{100, "HH1", "G1", "4:2", 3}, {101, "HH2", "G2", "4:3", 5}};
    std::vector<ReaderInfo> panel4 = {
        {20, "4:2", "R2", "G1", 3}, {7, "4:7", "Entry", "", 3}, {8, "4:8", "Exit", "", 3}, {9, "4:9", "Dock in", "", 5}};
    std::vector<ReaderInfo> panel5 = {{10, "5:1", "Elsewhere", "", 5}};
    std::vector<HandheldInfo> connected = {{100, "HH1", "G1", "", 3}};
    if (wholeAtOnce) {
        panel4.insert(panel4.end(), panel5.begin(), panel5.end());
        site.ReplaceAll(std::move(doors), std::move(handhelds), std::move(panel4), std::move(connected));
        return;
    }
    site.ReplaceDoors(std::move(doors));
    site.ReplaceHandhelds(std::move(handhelds));
    site.ReplacePanelReaders(5, std::move(panel5));
    site.ReplacePanelReaders(4, std::move(panel4));
    site.ReplaceConnected(std::move(connected));
}

bool AsksForARun(const std::string& text) {
    const nlohmann::json message = nlohmann::json::parse(text, nullptr, false);
    if (message.is_discarded() || !message.is_object()) return false;
    const auto type = message.find("type");
    return type != message.end() && type->is_string() && *type == "activities_available";
}

void CheckDrained(ReaderTransitionQueues& transitions, std::int32_t panel, const std::string& input) {
    for (const bool online : {true, false}) {
        ReaderStatusList list{nullptr, 0};
        transitions.Drain(panel, online, &list);
        Check(list.count >= 0 && (list.count == 0) == (list.items == nullptr), "a drained list is whole", input);
        delete[] list.items;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(fuzz_native::AsText(data, size));
    ReaderTransitionQueues transitions;
    SiteModel site(transitions);
    InstallSite(site, size % 2 == 0);

    std::size_t start = 0;
    for (int message = 0; message < 16 && start <= input.size(); ++message) {
        std::size_t end = input.find('\n', start);
        if (end == std::string::npos) end = input.size();
        const std::string text = input.substr(start, end - start);
        start = end + 1;

        const std::size_t connectedBefore = site.ConnectedSnapshot().size();
        int runsAsked = 0;
        DispatchChannelMessage(text, site, [&runsAsked] { ++runsAsked; });
        Check(runsAsked == (AsksForARun(text) ? 1 : 0), "a run is asked for by activities_available alone", text);
        if (!nlohmann::json::accept(text)) {
            Check(site.ConnectedSnapshot().size() == connectedBefore, "a message that is not JSON changes nothing",
                  text);
        }
        for (const std::int32_t panel : {4, 5}) {
            const std::vector<std::int32_t> online = site.OnlineReaderIndices(panel);
            Check(std::set<std::int32_t>(online.begin(), online.end()).size() == online.size(),
                  "the snapshot lists each reader once", text);
        }
    }
    site.ReconcileTransitions(size % 3 == 0);
    CheckDrained(transitions, 4, input);
    CheckDrained(transitions, 5, input);
    return 0;
}
