// The library's entry point and its application object, whose start and end
// drive the COM module's. Nothing here waits on a thread: under the loader
// lock that would deadlock (threads of this module are stopped on ordinary
// code paths, or the module is kept loaded; see ComModule::CanUnloadNow).

#include "translator/module/ComModule.h"

#include <windows.h>

class CTallyportAccessControlTranslatorApp {
public:
    void InitInstance(HINSTANCE instance) noexcept { ComModule::Init(instance); }
    // Releases the cached class factory.
    void ExitInstance() noexcept { ComModule::Term(); }
};

namespace {

CTallyportAccessControlTranslatorApp theApp;

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
    if (reason == DLL_PROCESS_ATTACH) {
        ::DisableThreadLibraryCalls(instance);
        theApp.InitInstance(instance);
    } else if (reason == DLL_PROCESS_DETACH) {
        theApp.ExitInstance();
    }
    return TRUE;
}
