#pragma once
// The data folder the installer package recorded beside its program folder,
// under the product's key (HKLM\Software\<publisher>\<name>, 32-bit view):
// "DataFolder" applies to the programs in "InstallFolder" and nowhere else,
// so a copy unpacked from the zip into another folder, or a test's copy,
// keeps its data beside itself.
//
// A recorded folder that does not exist is still the data folder: falling
// back to the program folder would read settings an older installation left
// there, in a folder the host must not be able to change. The translator
// logs the fact once (LogDataFolderInUse) and the field check names it.

#include <windows.h>

#include <string>

struct DataFolderLookup {
    std::string directory;      // the data folder, without a trailing separator
    bool recorded = false;      // the installer's folder rather than the module's own
    bool missing = false;       // recorded, but no folder is there
    DWORD win32Error = 0;       // why the recorded folder could not be examined
};

// Reads root\key for the module lying in moduleDirectory. Never throws; an
// unreadable or absent record means the module's own folder.
DataFolderLookup LookUpDataFolder(HKEY root, const char* key, const std::string& moduleDirectory) noexcept;

// The lookup for this module under the product's key, made on first use and
// kept for the life of the process (an upgrade stops the host first).
const DataFolderLookup& InstalledDataFolder() noexcept;

// The folder of this module's file, whatever a test put in its place
// (ModuleDirectory.cpp).
std::string ModuleFileDirectory();

// Logs once per process where the data lives when the installer chose it
// ("data_folder.recorded", or "data_folder.missing" as an error). Nothing
// for a module that keeps its data beside itself.
void LogDataFolderInUse() noexcept;
