#include "api/RedeliveryLedger.h"

#include <iterator>

bool RedeliveryLedger::Contains(std::int32_t panelId, std::int32_t admId) const {
    std::lock_guard<std::mutex> guard(lock_);
    auto panel = panels_.find(panelId);
    return panel != panels_.end() && panel->second.ids.count(admId) != 0;
}

void RedeliveryLedger::Remember(std::int32_t panelId, const std::vector<std::int32_t>& admIds) {
    std::lock_guard<std::mutex> guard(lock_);
    PanelEntries& panel = panels_[panelId];
    for (std::int32_t id : admIds) {
        if (!panel.ids.emplace(id, panel.clock).second) continue;
        panel.order.emplace_back(id, panel.clock++);
    }
    const auto isCurrent = [&panel](const std::pair<std::int32_t, std::uint64_t>& entry) {
        auto found = panel.ids.find(entry.first);
        return found != panel.ids.end() && found->second == entry.second;
    };
    while (panel.ids.size() > kMostEntriesPerPanel && !panel.order.empty()) {
        if (isCurrent(panel.order.front())) panel.ids.erase(panel.order.front().first);
        panel.order.pop_front();
    }
    // Forgotten entries linger in the order list; trim it when they dominate.
    if (panel.order.size() > 2 * kMostEntriesPerPanel) {
        std::deque<std::pair<std::int32_t, std::uint64_t>> live;
        for (const auto& entry : panel.order) {
            if (isCurrent(entry)) live.push_back(entry);
        }
        panel.order.swap(live);
    }
}

void RedeliveryLedger::Forget(std::int32_t panelId, const std::vector<std::int32_t>& admIds) {
    std::lock_guard<std::mutex> guard(lock_);
    auto panel = panels_.find(panelId);
    if (panel == panels_.end()) return;
    for (std::int32_t id : admIds) panel->second.ids.erase(id);
    if (panel->second.ids.empty()) panels_.erase(panel);
}

void RedeliveryLedger::ForgetAllBut(std::int32_t panelId, const std::set<std::int32_t>& pending) {
    std::lock_guard<std::mutex> guard(lock_);
    auto panel = panels_.find(panelId);
    if (panel == panels_.end()) return;
    auto& ids = panel->second.ids;
    for (auto it = ids.begin(); it != ids.end();) it = pending.count(it->first) ? std::next(it) : ids.erase(it);
    if (ids.empty()) panels_.erase(panel);
}

std::size_t RedeliveryLedger::Size(std::int32_t panelId) const {
    std::lock_guard<std::mutex> guard(lock_);
    auto panel = panels_.find(panelId);
    return panel == panels_.end() ? 0 : panel->second.ids.size();
}

bool ReportedOnce::First(std::int32_t panelId, std::uint64_t key) {
    std::lock_guard<std::mutex> guard(lock_);
    if (seen_.size() >= kMostKeys) seen_.clear();
    return seen_.emplace(panelId, key).second;
}
