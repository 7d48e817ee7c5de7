#include "platform/SystemLibraries.h"

#include <delayimp.h>
#include <windows.h>

#include <cstring>

namespace tly {
namespace {

// LOAD_LIBRARY_SEARCH_SYSTEM32 and SetDefaultDllDirectories came with
// KB2533623 on Windows 7; without them the flag is refused as a parameter.
HMODULE LoadFromSystemFolder(const char* name) noexcept {
    if (HMODULE module = ::LoadLibraryExA(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32)) return module;
    if (::GetLastError() != ERROR_INVALID_PARAMETER) return nullptr;
    // The full path, and the DLL's own folder (the system folder) first for its imports.
    char path[MAX_PATH] = {};
    const UINT length = ::GetSystemDirectoryA(path, MAX_PATH);
    if (length == 0 || length + 1 + std::strlen(name) >= MAX_PATH) return nullptr;
    path[length] = '\\';
    std::strcpy(path + length + 1, name);
    return ::LoadLibraryExA(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

// Called by the delay-load helper before it loads a DLL itself; a module
// returned here is used instead, and the helper keeps it (as it keeps the
// ones it loads) for the life of this module. Any other notification: carry
// on as usual.
FARPROC WINAPI DelayLoadNotification(unsigned notification, PDelayLoadInfo info) {
    if (notification != dliNotePreLoadLibrary || !info || !info->szDll) return nullptr;
    return reinterpret_cast<FARPROC>(LoadFromSystemFolder(info->szDll));
}

}  // namespace

bool RestrictDllSearchToSystemFolder() noexcept {
    using SetDefaultDllDirectoriesCall = BOOL(WINAPI*)(DWORD);
    const HMODULE kernel = ::GetModuleHandleA("kernel32.dll");
    const auto call = kernel ? reinterpret_cast<SetDefaultDllDirectoriesCall>(
                                   reinterpret_cast<void*>(::GetProcAddress(kernel, "SetDefaultDllDirectories")))
                             : nullptr;
    return call && call(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

void LoadDelayedImportsFromSystemFolder() noexcept { __pfnDliNotifyHook2 = DelayLoadNotification; }

}  // namespace tly
