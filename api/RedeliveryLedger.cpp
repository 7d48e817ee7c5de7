#include "api/RedeliveryLedger.h"

bool RedeliveryLedger::Contains(std::int32_t panelId, std::int32_t admId) const {
    tly::MutexLock guard(lock_);
    auto panel = panels_.find(panelId);
    return panel != panels_.end() && (panel->second.taken.count(admId) != 0 || panel->second.marked.count(admId) != 0);
}

void RedeliveryLedger::Taken(std::int32_t panelId, std::int32_t admId) {
    tly::MutexLock guard(lock_);
    PanelEntries& panel = panels_[panelId];
    TakenLocked(panel, admId);
    TrimTaken(panel);
}

void RedeliveryLedger::Taken(std::int32_t panelId, const std::vector<std::int32_t>& admIds) {
    tly::MutexLock guard(lock_);
    PanelEntries& panel = panels_[panelId];
    for (std::int32_t id : admIds) TakenLocked(panel, id);
    TrimTaken(panel);
}

void RedeliveryLedger::TakenLocked(PanelEntries& panel, std::int32_t admId) {
    if (!panel.taken.emplace(admId, panel.clock).second) return;
    panel.takenOrder.emplace_back(admId, panel.clock++);
}

void RedeliveryLedger::TrimTaken(PanelEntries& panel) {
    const auto isCurrent = [&panel](const std::pair<std::int32_t, std::uint64_t>& entry) {
        auto found = panel.taken.find(entry.first);
        return found != panel.taken.end() && found->second == entry.second;
    };
    while (panel.taken.size() > kMostTakenPerPanel && !panel.takenOrder.empty()) {
        if (isCurrent(panel.takenOrder.front())) panel.taken.erase(panel.takenOrder.front().first);
        panel.takenOrder.pop_front();
    }
    // Marked entries linger in the order list; trim it when they dominate.
    if (panel.takenOrder.size() > 2 * panel.taken.size() + 64) {
        std::deque<std::pair<std::int32_t, std::uint64_t>> live;
        for (const auto& entry : panel.takenOrder) {
            if (isCurrent(entry)) live.push_back(entry);
        }
        panel.takenOrder.swap(live);
    }
}

void RedeliveryLedger::Marked(std::int32_t panelId, const std::vector<std::int32_t>& admIds) {
    tly::MutexLock guard(lock_);
    PanelEntries& panel = panels_[panelId];
    for (std::int32_t id : admIds) {
        panel.taken.erase(id);
        if (panel.marked.insert(id).second) panel.markedOrder.push_back(id);
    }
    while (panel.markedOrder.size() > kMostMarkedPerPanel) {
        panel.marked.erase(panel.markedOrder.front());
        panel.markedOrder.pop_front();
    }
    TrimTaken(panel);
}

std::size_t RedeliveryLedger::Size(std::int32_t panelId) const {
    tly::MutexLock guard(lock_);
    auto panel = panels_.find(panelId);
    return panel == panels_.end() ? 0 : panel->second.taken.size();
}

std::size_t RedeliveryLedger::TotalSize() const {
    tly::MutexLock guard(lock_);
    std::size_t total = 0;
    for (const auto& panel : panels_) total += panel.second.taken.size();
    return total;
}

bool ReportedOnce::First(std::int32_t panelId, std::uint64_t key) {
    tly::MutexLock guard(lock_);
    if (seen_.size() >= kMostKeys) seen_.clear();
    return seen_.emplace(panelId, key).second;
}
