#include "tools/host-sim/EventSink.h"

namespace hostsim {

STDMETHODIMP EventSink::QueryInterface(REFIID iid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IDistributeEvent) &&
        !IsEqualIID(iid, IID_IDistributeEvent2)) {
        return E_NOINTERFACE;
    }
    *out = static_cast<IDistributeEvent2*>(this);
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) EventSink::Release() {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
}

STDMETHODIMP EventSink::DistributeEventEx(_ORSMESSAGEEX* pMessage, BSTR text, LONG value) {
    if (!pMessage) return E_POINTER;
    try {
        printer_.Event(panel_, *pMessage, text, value);
        if (pMessage->sb_EventDataType == 2) {
            faults_.AfterCardRecord(panel_, pMessage->su_EventData.us_DataCA.sl_CardNumber);
        }
    } catch (...) {
        return E_FAIL;
    }
    return S_OK;
}

}  // namespace hostsim
