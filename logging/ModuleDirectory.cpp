#include "logging/Log.h"

#include "logging/DataDirectory.h"
#include "logging/DataFolderRecord.h"

#include "platform/Mutex.h"

#include <windows.h>

namespace {

// The folder a test put in place of the module's.
struct Override {
    tly::Mutex lock;  // leaf
    std::string directory TLY_GUARDED_BY(lock);
};

Override& TheOverride() {
    static auto* instance = new Override;  // never destroyed: logging may run during exit
    return *instance;
}

HMODULE OwnModule() {
    HMODULE module = nullptr;
    ::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         reinterpret_cast<LPCSTR>(&OwnModule), &module);
    return module;
}

// The test's folder, or empty.
std::string OverriddenDirectory() {
    Override& current = TheOverride();
    tly::MutexLock lock(current.lock);
    return current.directory;
}

}  // namespace

std::string ModuleDirectory() {
    std::string overridden = OverriddenDirectory();
    return overridden.empty() ? ModuleFileDirectory() : overridden;
}

std::string DataDirectory() {
    std::string overridden = OverriddenDirectory();
    return overridden.empty() ? InstalledDataFolder().directory : overridden;
}

std::string ModuleFileDirectory() {
    char path[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameA(OwnModule(), path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return {};

    std::string full(path, length);
    const size_t separator = full.find_last_of("\\/");
    if (separator == std::string::npos) return full;
    return full.substr(0, separator);
}

void SetModuleDirectoryForTesting(const std::string& directory) {
    Override& current = TheOverride();
    tly::MutexLock lock(current.lock);
    current.directory = directory;
}
