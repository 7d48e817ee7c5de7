// The delivery journal's place in the instance's life: opened beside the
// settings file when a panel is opened, its remembered takings handed to the
// ledger, closed when the last panel's transport closes.

#include "api/TLYApiImpl.h"

void TLYApiImpl::OpenDeliveryJournal() {
    std::optional<DeliveryJournal::StartReport> report = deliveryJournal.Open(ModuleDirectory());
    if (!report) return;
    for (const auto& taken : report->taken) ledger.Taken(taken.first, taken.second);
}
