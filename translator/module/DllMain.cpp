// The library's entry point and its application object, whose start and end
// drive the COM module's. Nothing here waits on a thread: threads of this
// module are stopped on ordinary code paths before it can be unloaded (the
// native layer stops its own when the last panel closes), and at process exit
// (reserved non-null) the other threads are already gone, so nothing is
// joined, locked or freed then.

#include "api/TLYApiImpl.h"
#include "logging/Log.h"
#include "platform/SystemLibraries.h"
#include "translator/module/ComModule.h"

#include <windows.h>

class CTallyportAccessControlTranslatorApp {
public:
    void InitInstance(HINSTANCE instance) noexcept { ComModule::Init(instance); }

    // On FreeLibrary only: releases the cached class factory, then the native
    // layer's instance when nothing of it runs any more, then the log file.
    void ExitInstance() noexcept {
        ComModule::Term();
        TLYApiImpl::DestroyAtUnload();
        CloseLogFileAtUnload();
    }
};

namespace {

CTallyportAccessControlTranslatorApp theApp;

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        ::DisableThreadLibraryCalls(instance);
        // Before anything can call into winhttp or crypt32.
        tly::LoadDelayedImportsFromSystemFolder();
        theApp.InitInstance(instance);
    } else if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
        theApp.ExitInstance();
    }
    return TRUE;
}
