#include "logging/DataFolderRecord.h"

#include "TallyportVersion.h"
#include "logging/Log.h"
#include "platform/SamePath.h"
#include "platform/UniqueResource.h"

#include <algorithm>
#include <atomic>
#include <new>

namespace {

constexpr char kInstallFolderValue[] = "InstallFolder";
constexpr char kDataFolderValue[] = "DataFolder";
// A folder path longer than this is no folder the installer wrote.
constexpr DWORD kLongestValue = 32767;

// The installer writes folders with a trailing backslash.
std::string WithoutTrailingSeparators(std::string path) {
    while (path.size() > 1 && (path.back() == '\\' || path.back() == '/') && path[path.size() - 2] != ':') {
        path.pop_back();
    }
    return path;
}

// A string value of the open key; empty when absent, of another type or unreadable.
std::string StringValue(HKEY key, const char* name) {
    DWORD bytes = 0;
    if (::RegGetValueA(key, nullptr, name, RRF_RT_REG_SZ, nullptr, nullptr, &bytes) != ERROR_SUCCESS) return {};
    if (bytes == 0 || bytes > kLongestValue) return {};
    std::string value(bytes, '\0');
    if (::RegGetValueA(key, nullptr, name, RRF_RT_REG_SZ, nullptr, value.data(), &bytes) != ERROR_SUCCESS) return {};
    value.resize(std::min<std::size_t>(bytes, value.size()));
    while (!value.empty() && value.back() == '\0') value.pop_back();
    return value;
}

}  // namespace

DataFolderLookup LookUpDataFolder(HKEY root, const char* key, const std::string& moduleDirectory) noexcept {
    DataFolderLookup lookup;
    try {
        lookup.directory = moduleDirectory;
        HKEY opened = nullptr;
        if (::RegOpenKeyExA(root, key, 0, KEY_QUERY_VALUE | KEY_WOW64_32KEY, &opened) != ERROR_SUCCESS) return lookup;
        const tly::UniqueRegistryKey product(opened);
        const std::string installFolder = StringValue(product.get(), kInstallFolderValue);
        const std::string dataFolder = WithoutTrailingSeparators(StringValue(product.get(), kDataFolderValue));
        if (installFolder.empty() || dataFolder.empty() || !tly::SamePath(installFolder, moduleDirectory)) return lookup;

        lookup.directory = dataFolder;
        lookup.recorded = true;
        const DWORD attributes = ::GetFileAttributesA(dataFolder.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            lookup.missing = true;
            lookup.win32Error = ::GetLastError();
        } else if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            lookup.missing = true;
            lookup.win32Error = ERROR_DIRECTORY;
        }
    } catch (...) {
        // Out of memory: the module's own folder, as without a record.
        lookup = DataFolderLookup{};
        try {
            lookup.directory = moduleDirectory;
        } catch (...) {
        }
    }
    return lookup;
}

const DataFolderLookup& InstalledDataFolder() noexcept {
    // Made once, by the first caller; later callers wait for it (C++11 static).
    static const DataFolderLookup installed = [] {
        try {
            return LookUpDataFolder(HKEY_LOCAL_MACHINE, TLY_PRODUCT_REGISTRY_KEY, ModuleFileDirectory());
        } catch (...) {
            return DataFolderLookup{};
        }
    }();
    return installed;
}

void LogDataFolderInUse() noexcept {
    static std::atomic<bool> logged{false};
    const DataFolderLookup& installed = InstalledDataFolder();
    if (!installed.recorded || logged.exchange(true)) return;
    try {
        if (installed.missing) {
            // The log itself lies in that folder: the debugger output carries it too.
            ::OutputDebugStringA(("TLYSettings: the data folder " + installed.directory +
                                  " recorded by the installer does not exist\n").c_str());
            LogTranslatorEvent(LogLevel::Error, "data_folder.missing",
                               "The data folder the installer recorded does not exist; the settings and the log "
                               "cannot be read or written until it is created (repair the installation)",
                               {{"path", installed.directory}, {"win32_error", installed.win32Error}});
        } else {
            LogTranslatorEvent(LogLevel::Info, "data_folder.recorded",
                               "The settings, the log and the delivery journal are kept in the data folder the "
                               "installer recorded",
                               {{"path", installed.directory}, {"program_folder", ModuleFileDirectory()}});
        }
    } catch (...) {
        // A log line is never worth failing the caller for.
    }
}
