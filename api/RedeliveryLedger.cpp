#include "api/RedeliveryLedger.h"

bool RedeliveryLedger::Contains(std::int32_t panelId, std::int32_t admId) const {
    tly::MutexLock guard(lock_);
    auto panel = panels_.find(panelId);
    return panel != panels_.end() && (panel->second.taken.count(admId) != 0 || panel->second.marked.count(admId) != 0);
}

void RedeliveryLedger::Taken(std::int32_t panelId, std::int32_t admId) {
    tly::MutexLock guard(lock_);
    if (panels_[panelId].taken.insert(admId).second) ++totalTaken_;
}

void RedeliveryLedger::Taken(std::int32_t panelId, const std::vector<std::int32_t>& admIds) {
    tly::MutexLock guard(lock_);
    PanelEntries& panel = panels_[panelId];
    panel.taken.reserve(panel.taken.size() + admIds.size());
    for (std::int32_t id : admIds) {
        if (panel.taken.insert(id).second) ++totalTaken_;
    }
}

void RedeliveryLedger::Marked(std::int32_t panelId, const std::vector<std::int32_t>& admIds) {
    tly::MutexLock guard(lock_);
    PanelEntries& panel = panels_[panelId];
    for (std::int32_t id : admIds) {
        totalTaken_ -= panel.taken.erase(id);
        if (panel.marked.insert(id).second) panel.markedOrder.push_back(id);
    }
    while (panel.markedOrder.size() > kMostMarkedPerPanel) {
        panel.marked.erase(panel.markedOrder.front());
        panel.markedOrder.pop_front();
    }
}

std::size_t RedeliveryLedger::Size(std::int32_t panelId) const {
    tly::MutexLock guard(lock_);
    auto panel = panels_.find(panelId);
    return panel == panels_.end() ? 0 : panel->second.taken.size();
}

std::vector<std::int32_t> RedeliveryLedger::TakenIds(std::int32_t panelId, std::size_t most) const {
    tly::MutexLock guard(lock_);
    std::vector<std::int32_t> ids;
    auto panel = panels_.find(panelId);
    if (panel == panels_.end()) return ids;
    for (std::int32_t id : panel->second.taken) {
        if (ids.size() == most) break;
        ids.push_back(id);
    }
    return ids;
}

std::size_t RedeliveryLedger::TotalSize() const {
    tly::MutexLock guard(lock_);
    return totalTaken_;
}

bool ReportedOnce::First(std::int32_t panelId, std::uint64_t key) {
    tly::MutexLock guard(lock_);
    if (seen_.size() >= kMostKeys) seen_.clear();
    return seen_.emplace(panelId, key).second;
}
