#pragma once
// A base for the host side's event sinks (the host simulator, tests): answers
// every placeholder method of IDistributeEvent and IDistributeEvent2 with
// E_NOTIMPL, leaving IUnknown and the event method DistributeEventEx to the
// sink. Kept beside the IDL because it follows the interfaces' declarations.

#include "TallyportAccessControl.h"

class DistributeEventSinkBase : public IDistributeEvent2 {
public:
    STDMETHODIMP HostMethod01() override { return E_NOTIMPL; }
    STDMETHODIMP HostMethod02() override { return E_NOTIMPL; }
    STDMETHODIMP HostMethod03() override { return E_NOTIMPL; }
    STDMETHODIMP HostMethod04() override { return E_NOTIMPL; }
    STDMETHODIMP HostMethod05() override { return E_NOTIMPL; }
    STDMETHODIMP HostMethod06() override { return E_NOTIMPL; }
    STDMETHODIMP HostMethod07() override { return E_NOTIMPL; }
    STDMETHODIMP HostMethod08() override { return E_NOTIMPL; }
    STDMETHODIMP HostMethod09() override { return E_NOTIMPL; }
    STDMETHODIMP HostMethod10() override { return E_NOTIMPL; }
    STDMETHODIMP HostMethod11() override { return E_NOTIMPL; }
    STDMETHODIMP HostMethod12() override { return E_NOTIMPL; }
    STDMETHODIMP HostMethod13() override { return E_NOTIMPL; }
    STDMETHODIMP HostMethod14() override { return E_NOTIMPL; }
    STDMETHODIMP HostMethod15() override { return E_NOTIMPL; }
    STDMETHODIMP HostMethod16() override { return E_NOTIMPL; }
    STDMETHODIMP HostMethod17() override { return E_NOTIMPL; }
    STDMETHODIMP HostMethod18() override { return E_NOTIMPL; }
    STDMETHODIMP HostMethod19() override { return E_NOTIMPL; }
    STDMETHODIMP HostMethod20() override { return E_NOTIMPL; }
    STDMETHODIMP HostMethod21() override { return E_NOTIMPL; }
    STDMETHODIMP HostMethod22() override { return E_NOTIMPL; }
    STDMETHODIMP HostMethod23() override { return E_NOTIMPL; }
    STDMETHODIMP HostMethod24() override { return E_NOTIMPL; }
    STDMETHODIMP HostMethod25() override { return E_NOTIMPL; }
    STDMETHODIMP HostMethod26() override { return E_NOTIMPL; }
    STDMETHODIMP HostMethod27() override { return E_NOTIMPL; }
    STDMETHODIMP HostMethod28() override { return E_NOTIMPL; }
    STDMETHODIMP HostMethod29() override { return E_NOTIMPL; }
    STDMETHODIMP HostMethod30() override { return E_NOTIMPL; }
    STDMETHODIMP HostMethod31() override { return E_NOTIMPL; }
    STDMETHODIMP HostMethod32() override { return E_NOTIMPL; }
    STDMETHODIMP HostMethod33() override { return E_NOTIMPL; }
    STDMETHODIMP HostMethod34() override { return E_NOTIMPL; }
    STDMETHODIMP HostMethod35() override { return E_NOTIMPL; }
    STDMETHODIMP HostMethod36() override { return E_NOTIMPL; }
    STDMETHODIMP HostMethod37() override { return E_NOTIMPL; }
    STDMETHODIMP HostMethod38() override { return E_NOTIMPL; }
    STDMETHODIMP HostMethod39() override { return E_NOTIMPL; }
    STDMETHODIMP HostMethod40() override { return E_NOTIMPL; }
    STDMETHODIMP HostMethod41() override { return E_NOTIMPL; }
};
