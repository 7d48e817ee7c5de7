// The four entry points through which COM loads, registers and unloads this
// in-process server.

#include "translator/module/ComModule.h"

#include <objbase.h>
#include <olectl.h>

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
    return ComModule::GetClassObject(rclsid, riid, ppv);
}

STDAPI DllCanUnloadNow() { return ComModule::CanUnloadNow() ? S_OK : S_FALSE; }

STDAPI DllRegisterServer() { return ComModule::RegisterServer(); }

STDAPI DllUnregisterServer() { return ComModule::UnregisterServer(); }
