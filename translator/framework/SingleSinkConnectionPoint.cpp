#include "translator/framework/SingleSinkConnectionPoint.h"

#include "translator/framework/ArrayEnumerator.h"

#include <olectl.h>

#include <vector>

namespace tly::com {

STDMETHODIMP SingleSinkConnectionPoint::QueryInterface(REFIID iid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IConnectionPoint)) return E_NOINTERFACE;
    *out = static_cast<IConnectionPoint*>(this);
    AddRef();
    return S_OK;
}

STDMETHODIMP SingleSinkConnectionPoint::GetConnectionInterface(IID* iid) {
    if (!iid) return E_POINTER;
    *iid = iid_;
    return S_OK;
}

STDMETHODIMP SingleSinkConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** container) {
    if (!container) return E_POINTER;
    owner_.AddRef();
    *container = &owner_;
    return S_OK;
}

STDMETHODIMP SingleSinkConnectionPoint::Advise(IUnknown* sink, DWORD* cookie) {
    if (!sink || !cookie) return E_POINTER;
    *cookie = 0;
    // The sink is asked before the lock is taken; a refused or surplus
    // reference is released after it is dropped.
    UniqueComPtr<IUnknown> connection;
    if (FAILED(sink->QueryInterface(iid_, reinterpret_cast<void**>(connection.put()))) || !connection) {
        return CONNECT_E_CANNOTCONNECT;
    }
    {
        tly::MutexLock guard(lock_);
        if (sink_) return CONNECT_E_ADVISELIMIT;
        sink_ = std::move(connection);
    }
    *cookie = kCookie;
    observer_.SinkAdvised(sink);
    return S_OK;
}

STDMETHODIMP SingleSinkConnectionPoint::Unadvise(DWORD cookie) {
    UniqueComPtr<IUnknown> released;
    {
        tly::MutexLock guard(lock_);
        if (cookie != kCookie || !sink_) return CONNECT_E_NOCONNECTION;
        released = std::move(sink_);
    }
    observer_.SinkUnadvised();
    return S_OK;
}

STDMETHODIMP SingleSinkConnectionPoint::EnumConnections(IEnumConnections** connections) {
    // A reference of our own to the sink connected now, taken under the lock
    // so that an Unadvise meanwhile cannot release the sink first.
    UniqueComPtr<IUnknown> sink;
    {
        tly::MutexLock guard(lock_);
        sink = AddReference(sink_.get());
    }
    return ComMethod([&]() -> HRESULT {
        std::vector<CONNECTDATA> current;
        if (sink) current.push_back({sink.get(), kCookie});
        return ConnectionEnumerator::Create(current, connections);
    });
}

}  // namespace tly::com
