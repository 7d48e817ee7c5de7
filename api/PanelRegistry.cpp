#include "api/PanelRegistry.h"

#include "platform/Clock.h"

#include <windows.h>

#include <algorithm>
#include <optional>

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

int PanelRegistry::UnderWayLocked(std::int32_t panelId) const {
    const auto entry = deliveries_.find(panelId);
    return entry == deliveries_.end() ? 0 : entry->second;
}

bool PanelRegistry::BeginDelivery(std::int32_t panelId) {
    tly::MutexLock guard(lock_);
    if (std::find(panels_.begin(), panels_.end(), panelId) == panels_.end()) return false;
    ++deliveries_[panelId];
    return true;
}

void PanelRegistry::EndDelivery(std::int32_t panelId) {
    tly::MutexLock guard(lock_);
    // The panel's count stays at zero rather than going: a drain would
    // otherwise free and allocate it again at every delivery.
    auto entry = deliveries_.find(panelId);
    if (entry == deliveries_.end() || entry->second <= 0 || --entry->second > 0) return;
    for (const Waiter& waiter : waiters_) {
        if (waiter.panelId == panelId) ::SetEvent(waiter.lastEnded);
    }
}

// The waiter is listed under the lock in the same step that finds deliveries
// under way, so the last one's end, whenever it comes, sets its event. Time is
// the process clock's; the wait also ends at the first time-out of the event
// itself, so a clock that stands still (a test's) cannot make it outlast the
// time given.
bool PanelRegistry::WaitForDeliveries(std::int32_t panelId, std::uint32_t timeoutMs) const {
    {
        tly::MutexLock guard(lock_);
        if (UnderWayLocked(panelId) == 0) return true;
    }
    const tly::UniqueHandle lastEnded(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!lastEnded) return false;
    struct Listed {
        Listed(const PanelRegistry& r, HANDLE e) : registry(r), event(e) {}
        Listed(const Listed&) = delete;
        Listed& operator=(const Listed&) = delete;
        const PanelRegistry& registry;
        HANDLE event;
        ~Listed() {
            tly::MutexLock guard(registry.lock_);
            auto& waiters = registry.waiters_;
            waiters.erase(std::remove_if(waiters.begin(), waiters.end(),
                                         [this](const Waiter& w) { return w.lastEnded == event; }),
                          waiters.end());
        }
    };
    std::optional<Listed> listed;

    const std::uint32_t started = tly::CurrentClock().TickCount();
    for (;;) {
        {
            tly::MutexLock guard(lock_);
            if (UnderWayLocked(panelId) == 0) return true;
            if (!listed) {
                waiters_.push_back({panelId, lastEnded.get()});  // may throw: nothing listed yet
                listed.emplace(*this, lastEnded.get());  // in place: a copy would unlist under the lock
            }
            ::ResetEvent(lastEnded.get());
        }
        const std::uint32_t spent = tly::CurrentClock().TickCount() - started;  // unsigned: wrap-safe
        if (spent >= timeoutMs) return false;
        if (::WaitForSingleObject(lastEnded.get(), static_cast<DWORD>(timeoutMs - spent)) != WAIT_OBJECT_0) {
            return false;
        }
    }
}
