// Stands in for logging/DataFolderRecord.cpp in the ThreadSanitizer build:
// no installer records a data folder here, so the data lives beside the
// module (a test's folder), as in a folder unpacked from the zip.

#include "logging/DataFolderRecord.h"

const DataFolderLookup& InstalledDataFolder() noexcept {
    static const DataFolderLookup beside = [] {
        DataFolderLookup lookup;
        lookup.directory = ModuleFileDirectory();
        return lookup;
    }();
    return beside;
}
