#pragma once
// The COM module of this library: its object map (one creatable class,
// AccessControlTrans), the cached class factory, and registration from the
// registry script (resource REGISTRY 102) and the type library (TYPELIB 1).

#include <windows.h>

namespace ComModule {

inline constexpr UINT kRegistryScriptResource = 102;

// Started and ended by the application object (DllMain.cpp).
void Init(HINSTANCE instance) noexcept;
void Term() noexcept;

HRESULT GetClassObject(REFCLSID clsid, REFIID iid, void** out) noexcept;
bool CanUnloadNow() noexcept;
HRESULT RegisterServer() noexcept;
HRESULT UnregisterServer() noexcept;

}  // namespace ComModule
