#pragma once
// Helpers shared by the settings tests: the files they inspect and the log
// threshold they need to see the settings events.

#include "logging/Log.h"
#include "platform/UniqueResource.h"
#include "settings/TranslatorSettings.h"
#include "tests/support/LogReader.h"
#include "tests/support/TempModuleDirectory.h"

#include <nlohmann/json.hpp>
#include <windows.h>
#include <sddl.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

namespace tly::test {

inline constexpr char kSettingsFile[] = "tallyport_settings.json";
inline constexpr char kLegacyFile[] = "tallyport_settings.txt";

// Every event of the main log at trace level from now on.
inline void LogEverything() {
    TranslatorSettings settings;
    settings.log_level = "trace";
    ApplyLoggingSettings(settings);
}

inline std::vector<nlohmann::json> MainLogLines(const TempModuleDirectory& dir, const std::string& event) {
    return LinesWithEvent(dir.File("tly_translator.log"), event);
}

// The messages written to the bootstrap log, in order.
inline std::vector<std::string> BootstrapMessages(const TempModuleDirectory& dir) {
    std::vector<std::string> messages;
    for (const auto& line : ReadLogLines(dir.File("tly_translator_bootstrap.log"))) {
        messages.push_back(line.value("message", ""));
    }
    return messages;
}

// Holds a file open for reading without sharing writes, as another program
// might: the file can then be neither rewritten nor replaced. (A read-only
// attribute would do on Windows, but not for a Wine process running as root.)
inline tly::UniqueFileHandle HoldOpen(const std::string& path) {
    return tly::UniqueFileHandle(
        ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

// The names of the directory's files matching a pattern such as "*.log", sorted.
inline std::vector<std::string> FileNames(const TempModuleDirectory& dir, const std::string& pattern = "*") {
    std::vector<std::string> names;
    WIN32_FIND_DATAA data{};
    HANDLE find = ::FindFirstFileA(dir.File(pattern).c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        const std::string name = data.cFileName;
        if (name != "." && name != "..") names.push_back(name);
    } while (::FindNextFileA(find, &data));
    ::FindClose(find);
    std::sort(names.begin(), names.end());
    return names;
}

// One row of a table-driven test: a file's text and what reading it must give.
struct SettingsTextCase {
    const char* name;
    std::string text;
    std::function<void(const TranslatorSettings&)> check;
};

inline nlohmann::json ReadJson(const TempModuleDirectory& dir, const std::string& name) {
    return nlohmann::json::parse(dir.Read(name));
}

// A file's access rules (its DACL) as SDDL text, as the platform reports them.
inline std::string AccessRules(const std::string& path) {
    DWORD size = 0;
    ::GetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &size);
    std::vector<BYTE> descriptor(size);
    if (size == 0 || !::GetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION, descriptor.data(), size, &size)) {
        return {};
    }
    char* text = nullptr;
    if (!::ConvertSecurityDescriptorToStringSecurityDescriptorA(descriptor.data(), SDDL_REVISION_1,
                                                                DACL_SECURITY_INFORMATION, &text, nullptr)) {
        return {};
    }
    const tly::UniqueLocalMemory owned(text);
    return text;
}

inline bool SetAccessRules(const std::string& path, const std::string& sddl) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr)) {
        return false;
    }
    const tly::UniqueLocalMemory owned(descriptor);
    return ::SetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION, descriptor);
}

}  // namespace tly::test
