#pragma once
// Which panel's activities the calling thread is delivering right now. The
// call-backs carry a reader index but no panel, so a process with several
// panels asks this to hand each event to the translator of its own panel. A
// call-back that finds no translator for that panel refuses the delivery, and
// the activity then stays pending on the server instead of being marked.

#include <cstdint>
#include <optional>

// The panel of the activity run under way on this thread, if any.
std::optional<std::int32_t> CurrentDeliveryPanel() noexcept;

// Called from inside a call-back: nobody took the activity being delivered.
void RefuseCurrentDelivery() noexcept;

// Marks the calling thread as delivering one panel's activities for its
// lifetime; nests.
class DeliveryPanelScope {
public:
    explicit DeliveryPanelScope(std::int32_t panelId) noexcept;
    ~DeliveryPanelScope();
    DeliveryPanelScope(const DeliveryPanelScope&) = delete;
    DeliveryPanelScope& operator=(const DeliveryPanelScope&) = delete;

    // True when a call-back refused since the last call; clears the refusal.
    bool TakeRefusal() noexcept;

private:
    std::optional<std::int32_t> previous_;
    bool previousRefused_;
};
