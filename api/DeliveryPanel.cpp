#include "api/DeliveryPanel.h"

namespace {

// What this thread is delivering: the call's context, not shared state.
struct ThreadDelivery {
    std::optional<std::int32_t> panel;
    bool refused = false;
};

ThreadDelivery& ThisThreadsDelivery() noexcept {
    thread_local ThreadDelivery delivery;
    return delivery;
}

}  // namespace

std::optional<std::int32_t> CurrentDeliveryPanel() noexcept { return ThisThreadsDelivery().panel; }

void RefuseCurrentDelivery() noexcept { ThisThreadsDelivery().refused = true; }

DeliveryPanelScope::DeliveryPanelScope(std::int32_t panelId) noexcept
    : previous_(ThisThreadsDelivery().panel), previousRefused_(ThisThreadsDelivery().refused) {
    ThisThreadsDelivery() = {panelId, false};
}

DeliveryPanelScope::~DeliveryPanelScope() { ThisThreadsDelivery() = {previous_, previousRefused_}; }

bool DeliveryPanelScope::TakeRefusal() noexcept {
    ThreadDelivery& delivery = ThisThreadsDelivery();
    const bool refused = delivery.refused;
    delivery.refused = false;
    return refused;
}
