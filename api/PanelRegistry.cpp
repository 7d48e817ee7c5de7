#include "api/PanelRegistry.h"

#include "platform/Clock.h"

#include <windows.h>

#include <algorithm>

PanelRegistry::PanelRegistry() : deliveryEnded_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

void PanelRegistry::Open(std::int32_t panelId) {
    tly::MutexLock guard(lock_);
    if (std::find(panels_.begin(), panels_.end(), panelId) == panels_.end()) panels_.push_back(panelId);
}

void PanelRegistry::Close(std::int32_t panelId) {
    tly::MutexLock guard(lock_);
    panels_.erase(std::remove(panels_.begin(), panels_.end(), panelId), panels_.end());
}

bool PanelRegistry::IsOpen(std::int32_t panelId) const {
    tly::MutexLock guard(lock_);
    return std::find(panels_.begin(), panels_.end(), panelId) != panels_.end();
}

std::int32_t PanelRegistry::Count() const {
    tly::MutexLock guard(lock_);
    return static_cast<std::int32_t>(panels_.size());
}

std::vector<std::int32_t> PanelRegistry::Snapshot() const {
    tly::MutexLock guard(lock_);
    return panels_;
}

bool PanelRegistry::BeginDelivery(std::int32_t panelId) {
    tly::MutexLock guard(lock_);
    if (std::find(panels_.begin(), panels_.end(), panelId) == panels_.end()) return false;
    ++deliveries_[panelId];
    return true;
}

void PanelRegistry::EndDelivery(std::int32_t panelId) {
    tly::MutexLock guard(lock_);
    auto entry = deliveries_.find(panelId);
    if (entry != deliveries_.end() && --entry->second <= 0) deliveries_.erase(entry);
    if (deliveryEnded_) ::SetEvent(deliveryEnded_.get());
}

// Each wake looks again. Time is the process clock's; the wait also ends at
// the first time-out of the event itself, so a clock that stands still (a
// test's) cannot make it outlast the time given.
bool PanelRegistry::WaitForDeliveries(std::int32_t panelId, std::uint32_t timeoutMs) const {
    const std::uint32_t started = tly::CurrentClock().TickCount();
    for (;;) {
        {
            tly::MutexLock guard(lock_);
            if (deliveries_.find(panelId) == deliveries_.end()) return true;
            if (!deliveryEnded_) return false;
            ::ResetEvent(deliveryEnded_.get());
        }
        const std::uint32_t spent = tly::CurrentClock().TickCount() - started;  // unsigned: wrap-safe
        if (spent >= timeoutMs) return false;
        if (::WaitForSingleObject(deliveryEnded_.get(), static_cast<DWORD>(timeoutMs - spent)) != WAIT_OBJECT_0) {
            return false;
        }
    }
}
