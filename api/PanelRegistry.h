#pragma once
// The panels the host has open in this process, and the deliveries under way
// to each. Only an open panel's activities are fetched, and a delivery starts
// only while its panel is open; a close takes the panel out first, then waits
// for the deliveries already under way, on an event rather than by polling.
// A delivery's end costs no system call unless a close waits for its panel's
// last delivery: a backlog drains at thousands of deliveries a second, and a
// close is rare.
//
// It owns its state and one leaf lock: nothing else is taken and nothing is
// called while it is held.

#include "platform/Mutex.h"
#include "platform/UniqueResource.h"

#include <windows.h>

#include <cstdint>
#include <map>
#include <vector>

class PanelRegistry {
public:
    PanelRegistry() = default;
    PanelRegistry(const PanelRegistry&) = delete;
    PanelRegistry& operator=(const PanelRegistry&) = delete;

    void Open(std::int32_t panelId) TLY_EXCLUDES(lock_);
    void Close(std::int32_t panelId) TLY_EXCLUDES(lock_);
    bool IsOpen(std::int32_t panelId) const TLY_EXCLUDES(lock_);
    std::int32_t Count() const TLY_EXCLUDES(lock_);
    std::vector<std::int32_t> Snapshot() const TLY_EXCLUDES(lock_);  // in the order opened

    // False when the panel is not open; otherwise counted until EndDelivery.
    bool BeginDelivery(std::int32_t panelId) TLY_EXCLUDES(lock_);
    void EndDelivery(std::int32_t panelId) TLY_EXCLUDES(lock_);
    // True when no delivery to the panel is under way, waiting up to the
    // time-out for those that are.
    bool WaitForDeliveries(std::int32_t panelId, std::uint32_t timeoutMs) const TLY_EXCLUDES(lock_);

private:
    // A close waiting for a panel's deliveries: its own event, set when the
    // panel's last delivery ends.
    struct Waiter {
        std::int32_t panelId;
        HANDLE lastEnded;
    };

    int UnderWayLocked(std::int32_t panelId) const TLY_REQUIRES(lock_);

    mutable tly::Mutex lock_;
    std::vector<std::int32_t> panels_ TLY_GUARDED_BY(lock_);
    std::map<std::int32_t, int> deliveries_ TLY_GUARDED_BY(lock_);
    mutable std::vector<Waiter> waiters_ TLY_GUARDED_BY(lock_);
};
