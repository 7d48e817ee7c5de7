#pragma once
// A connection point that holds one sink. It is a part of its owner object: it
// answers QueryInterface for itself only, but counts its references on the
// owner, which must outlive every reference it hands out (it does: each one is
// a reference to the owner).
//
// Advise: one sink at a time (CONNECT_E_ADVISELIMIT for a second one), cookie 1.
// Unadvise: only cookie 1 of a connected sink; anything else is
// CONNECT_E_NOCONNECTION and changes nothing.
// EnumConnections: the sink connected at the time, if any, with cookie 1.
// The observer hears of both, outside the point's lock, and may call the sink.

#include "platform/Mutex.h"
#include "platform/UniqueResource.h"

#include <windows.h>
#include <ocidl.h>

namespace tly::com {

class SinkObserver {
public:
    virtual void SinkAdvised(IUnknown* sink) noexcept = 0;
    virtual void SinkUnadvised() noexcept = 0;

protected:
    ~SinkObserver() = default;
};

class SingleSinkConnectionPoint final : public IConnectionPoint {
public:
    static constexpr DWORD kCookie = 1;

    SingleSinkConnectionPoint(IConnectionPointContainer& owner, const IID& iid, SinkObserver& observer)
        : owner_(owner), iid_(iid), observer_(observer) {}
    SingleSinkConnectionPoint(const SingleSinkConnectionPoint&) = delete;
    SingleSinkConnectionPoint& operator=(const SingleSinkConnectionPoint&) = delete;

    const IID& ConnectionIid() const noexcept { return iid_; }

    // IUnknown, counted on the owner.
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
    STDMETHODIMP_(ULONG) AddRef() override { return owner_.AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return owner_.Release(); }

    // IConnectionPoint.
    STDMETHODIMP GetConnectionInterface(IID* iid) override;
    STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** container) override;
    STDMETHODIMP Advise(IUnknown* sink, DWORD* cookie) override;
    STDMETHODIMP Unadvise(DWORD cookie) override;
    STDMETHODIMP EnumConnections(IEnumConnections** connections) override;

private:
    IConnectionPointContainer& owner_;
    const IID iid_;
    SinkObserver& observer_;

    tly::Mutex lock_;  // leaf; never held while the sink or the observer is called
    UniqueComPtr<IUnknown> sink_ TLY_GUARDED_BY(lock_);  // queried for iid_
};

}  // namespace tly::com
