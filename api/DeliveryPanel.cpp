#include "api/DeliveryPanel.h"

namespace {
thread_local std::optional<std::int32_t> t_deliveryPanel;
}

std::optional<std::int32_t> CurrentDeliveryPanel() noexcept { return t_deliveryPanel; }

DeliveryPanelScope::DeliveryPanelScope(std::int32_t panelId) noexcept : previous_(t_deliveryPanel) {
    t_deliveryPanel = panelId;
}

DeliveryPanelScope::~DeliveryPanelScope() { t_deliveryPanel = previous_; }
