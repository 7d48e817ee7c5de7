#pragma once
// Creation of objects of class T, plain or aggregated, and the cached class
// factory that hands them out. The module keeps one reference to its factory;
// every further reference holds a module lock, so a client that keeps the
// factory keeps the module loaded.

#include "translator/framework/ComObject.h"
#include "translator/framework/ComMethod.h"

#include <new>

namespace tly::com {

// A standalone object, answered for interface iid.
template <typename T>
HRESULT CreatePlainObject(REFIID iid, void** out) noexcept {
    return ComMethod([&] { return HandOut(new (std::nothrow) ComObject<T>(), iid, out); });
}

// An object aggregated by outer: only its inner IUnknown can be handed out.
template <typename T>
HRESULT CreateAggregatedObject(IUnknown* outer, REFIID iid, void** out) noexcept {
    if (!IsEqualIID(iid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
    return ComMethod([&] { return HandOut(new (std::nothrow) ComAggObject<T>(outer), iid, out); });
}

template <typename T>
class ClassFactory final : public IClassFactory {
public:
    // Made with the module's own reference.
    ClassFactory() = default;
    ClassFactory(const ClassFactory&) = delete;
    ClassFactory& operator=(const ClassFactory&) = delete;

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IClassFactory)) return E_NOINTERFACE;
        *out = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override {
        const ULONG count = ++references_;
        if (count == 2) LockModule();
        return count;
    }
    STDMETHODIMP_(ULONG) Release() override {
        const ULONG count = --references_;
        if (count == 1) UnlockModule();
        if (count == 0) delete this;
        return count;
    }

    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        return outer ? CreateAggregatedObject<T>(outer, iid, out) : CreatePlainObject<T>(iid, out);
    }
    STDMETHODIMP LockServer(BOOL lock) override {
        if (lock) {
            LockModule();
        } else {
            UnlockModule();
        }
        return S_OK;
    }

private:
    std::atomic<ULONG> references_{1};
};

}  // namespace tly::com
