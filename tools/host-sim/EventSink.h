#pragma once
// The host's event sink for one panel: takes every event record the
// translator sends and prints it, then plays the faults asked for on card
// records (CallbackFaults) while still inside the call.

#include "tools/host-sim/CallbackFaults.h"
#include "tools/host-sim/EventPrinter.h"
#include "translator/idl/DistributeEventSinkBase.h"

#include <atomic>
#include <cstdint>

namespace hostsim {

class EventSink final : public DistributeEventSinkBase {
public:
    EventSink(std::int32_t panel, EventPrinter& printer, CallbackFaults& faults)
        : panel_(panel), printer_(printer), faults_(faults) {}

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
    STDMETHODIMP_(ULONG) AddRef() override { return ++references_; }
    STDMETHODIMP_(ULONG) Release() override;

    STDMETHODIMP DistributeEventEx(_ORSMESSAGEEX* pMessage, BSTR text, LONG value) override;

private:
    ~EventSink() = default;

    const std::int32_t panel_;
    EventPrinter& printer_;
    CallbackFaults& faults_;
    std::atomic<ULONG> references_{1};
};

}  // namespace hostsim
