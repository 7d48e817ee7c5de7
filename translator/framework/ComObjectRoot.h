#pragma once
// The root of every COM object of this module: an interlocked reference count
// and a table-driven QueryInterface. A class lists its interfaces once, in an
// InterfaceMap() of Entry<Class, Interface>() rows; the first row also answers
// for IUnknown. The IUnknown methods themselves come from the wrappers in
// ComObject.h, which decide whether the object stands alone or is aggregated.
//
// The count is interlocked although the objects are used as if single-threaded:
// they are registered "Both" and native call-backs reach them on other threads.

#include <windows.h>
#include <unknwn.h>

#include <atomic>
#include <span>

namespace tly::com {

struct InterfaceEntry {
    const IID* iid;
    IUnknown* (*cast)(void* object);  // the object's pointer for that interface
};

template <typename Class, typename Interface>
IUnknown* CastTo(void* object) {
    return static_cast<Interface*>(static_cast<Class*>(object));
}

template <typename Class, typename Interface>
InterfaceEntry Entry() {
    return {&__uuidof(Interface), &CastTo<Class, Interface>};
}

// Finds iid in the map and hands out that interface with one more reference
// (taken through the interface, so an aggregated object counts on its outer).
HRESULT QueryFromMap(void* object, std::span<const InterfaceEntry> map, REFIID iid, void** out) noexcept;

class ComObjectRoot {
public:
    ComObjectRoot() = default;
    ComObjectRoot(const ComObjectRoot&) = delete;
    ComObjectRoot& operator=(const ComObjectRoot&) = delete;

protected:
    ULONG InternalAddRef() noexcept { return ++references_; }
    ULONG InternalRelease() noexcept { return --references_; }

private:
    std::atomic<ULONG> references_{0};
};

}  // namespace tly::com
