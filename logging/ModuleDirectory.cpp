#include "logging/Log.h"

#include <windows.h>

#include <mutex>

namespace {

std::mutex& OverrideMutex() {
    static auto* mutex = new std::mutex;  // never destroyed: logging may run during exit
    return *mutex;
}

std::string& OverrideDirectory() {
    static auto* directory = new std::string;
    return *directory;
}

HMODULE OwnModule() {
    HMODULE module = nullptr;
    ::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         reinterpret_cast<LPCSTR>(&OwnModule), &module);
    return module;
}

}  // namespace

std::string ModuleDirectory() {
    {
        std::lock_guard<std::mutex> lock(OverrideMutex());
        if (!OverrideDirectory().empty()) return OverrideDirectory();
    }

    char path[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameA(OwnModule(), path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return {};

    std::string full(path, length);
    const size_t separator = full.find_last_of("\\/");
    if (separator == std::string::npos) return full;
    return full.substr(0, separator);
}

void SetModuleDirectoryForTesting(const std::string& directory) {
    std::lock_guard<std::mutex> lock(OverrideMutex());
    OverrideDirectory() = directory;
}
