#pragma once
// The three ways an object of class Base lives, each adding IUnknown:
// - ComObject<Base>: a standalone object that owns its reference count;
// - ComContainedObject<Base>: the object inside an aggregate, whose IUnknown
//   methods all go to the outer object;
// - ComAggObject<Base>: the aggregate's inner, non-delegating IUnknown, which
//   owns the contained object and its own, separate reference count.
// Every live object holds one module lock, from before its construction to
// after its destruction.

#include "translator/framework/ComObjectRoot.h"
#include "translator/framework/ModuleLock.h"

#include <utility>

namespace tly::com {

template <typename Base>
class ComObject final : private ModuleLockHolder, public Base {
public:
    template <typename... Args>
    explicit ComObject(Args&&... args) : Base(std::forward<Args>(args)...) {}

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        return QueryFromMap(static_cast<Base*>(this), Base::InterfaceMap(), iid, out);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return this->InternalAddRef(); }
    STDMETHODIMP_(ULONG) Release() override {
        const ULONG left = this->InternalRelease();
        if (left == 0) delete this;
        return left;
    }
};

template <typename Base>
class ComContainedObject final : public Base {
public:
    explicit ComContainedObject(IUnknown* outer) : outer_(outer) {}

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override { return outer_->QueryInterface(iid, out); }
    STDMETHODIMP_(ULONG) AddRef() override { return outer_->AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return outer_->Release(); }

    HRESULT InnerQueryInterface(REFIID iid, void** out) {
        return QueryFromMap(static_cast<Base*>(this), Base::InterfaceMap(), iid, out);
    }

private:
    IUnknown* outer_;  // not counted: the outer object owns the aggregate
};

template <typename Base>
class ComAggObject final : private ModuleLockHolder, public IUnknown {
public:
    explicit ComAggObject(IUnknown* outer) : contained_(outer) {}
    ComAggObject(const ComAggObject&) = delete;
    ComAggObject& operator=(const ComAggObject&) = delete;

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        if (IsEqualIID(iid, IID_IUnknown)) {
            *out = static_cast<IUnknown*>(this);
            AddRef();
            return S_OK;
        }
        return contained_.InnerQueryInterface(iid, out);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++references_; }
    STDMETHODIMP_(ULONG) Release() override {
        const ULONG left = --references_;
        if (left == 0) delete this;
        return left;
    }

private:
    std::atomic<ULONG> references_{0};
    ComContainedObject<Base> contained_;
};

// Hands out a new object (null when allocation failed) for interface iid; the
// object goes again if it does not answer for iid.
template <typename Object>
HRESULT HandOut(Object* object, REFIID iid, void** out) {
    if (!object) return E_OUTOFMEMORY;
    object->AddRef();
    const HRESULT result = object->QueryInterface(iid, out);
    object->Release();
    return result;
}

}  // namespace tly::com
