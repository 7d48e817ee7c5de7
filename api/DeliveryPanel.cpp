#include "api/DeliveryPanel.h"

namespace {
thread_local std::optional<std::int32_t> t_deliveryPanel;
thread_local bool t_deliveryRefused = false;
}  // namespace

std::optional<std::int32_t> CurrentDeliveryPanel() noexcept { return t_deliveryPanel; }

void RefuseCurrentDelivery() noexcept { t_deliveryRefused = true; }

DeliveryPanelScope::DeliveryPanelScope(std::int32_t panelId) noexcept
    : previous_(t_deliveryPanel), previousRefused_(t_deliveryRefused) {
    t_deliveryPanel = panelId;
    t_deliveryRefused = false;
}

DeliveryPanelScope::~DeliveryPanelScope() {
    t_deliveryPanel = previous_;
    t_deliveryRefused = previousRefused_;
}

bool DeliveryPanelScope::TakeRefusal() noexcept {
    const bool refused = t_deliveryRefused;
    t_deliveryRefused = false;
    return refused;
}
