// Loads the built DLL the way a host does and calls its exports by name.

#include "EventMessages.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <string>

namespace {

std::string DllPath() {
    const char* path = std::getenv("TLY_DLL_PATH");
    return path ? path : "TallyportAccessControlTranslator.dll";
}

}  // namespace

TEST(DllLoad, LoadsAndResolvesEveryExportByPlainName) {
    HMODULE module = ::LoadLibraryA(DllPath().c_str());
    ASSERT_NE(module, nullptr) << "LoadLibrary failed with " << ::GetLastError();

    for (const char* name :
         {"TLYAPI_Init", "TLYAPI_Open", "TLYAPI_Connect", "TLYAPI_Close", "TLYAPI_GetLastErrorMessage",
          "TLYAPI_GetInitialData", "TLYAPI_FetchPendingActivities", "TLYAPI_GetReadersGoneOffline",
          "TLYAPI_GetReadersGoneOnline", "TLYAPI_GetReadersStatus3", "TLYAPI_GetSubscribed",
          "TLYAPI_IsBadgeEventFileEnabled", "TLYAPI_SetAlarmEventCallback", "TLYAPI_SetBadgeActivityCallback",
          "TLYAPI_SetDisplayMessageCallback", "TLYAPI_TallyportServiceStatusChangedCallback"}) {
        EXPECT_NE(::GetProcAddress(module, name), nullptr) << name;
    }
    EXPECT_TRUE(::FreeLibrary(module));
}

// What the Event Viewer does with the source's message file: each event's
// text comes from the DLL's message table, loaded as data.
TEST(DllLoad, TheMessageTableHoldsTheTextOfEveryEvent) {
    HMODULE module = ::LoadLibraryExA(DllPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module, nullptr) << "LoadLibraryEx failed with " << ::GetLastError();
    const std::pair<DWORD, const char*> events[] = {
        {TLY_EVENT_PANEL_OFFLINE, "Panel %1 has been offline for more than 60 seconds: %2"},
        {TLY_EVENT_PANEL_BACK, "Panel %1 is back online after %2 seconds offline."},
        {TLY_EVENT_ACTIVITY_HELD_BACK, "Activity %2 of panel %1 is held back"},
        {TLY_EVENT_SETTINGS_UNLOADABLE_AT_START, "The settings file could not be loaded at start: %1"},
        {TLY_EVENT_SETTINGS_UNLOADABLE_AT_RELOAD, "The settings file changed but could not be loaded: %1"},
        {TLY_EVENT_JOURNAL_DAMAGED, "The delivery journal cannot be used: %1"},
        {TLY_EVENT_JOURNAL_FULL, "The delivery journal has no room for another activity"},
        {TLY_EVENT_CHANNEL_DOWN, "The event channel (WebSocket) to Tallyport has been down"},
    };
    for (const auto& [id, begins] : events) {
        char text[1024] = {};
        const DWORD length = ::FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, module, id,
                                              MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), text, sizeof text, nullptr);
        ASSERT_GT(length, 0u) << id << ": error " << ::GetLastError();
        EXPECT_EQ(std::string(text).rfind(begins, 0), 0u) << id << ": " << text;
    }
    EXPECT_TRUE(::FreeLibrary(module));
}

TEST(DllLoad, LastErrorExportIsSafeWithHostileBuffers) {
    HMODULE module = ::LoadLibraryA(DllPath().c_str());
    ASSERT_NE(module, nullptr);
    using GetLastErrorMessage = void(__cdecl*)(char*, int);
    auto copy = reinterpret_cast<GetLastErrorMessage>(
        reinterpret_cast<void*>(::GetProcAddress(module, "TLYAPI_GetLastErrorMessage")));
    ASSERT_NE(copy, nullptr);

    copy(nullptr, 100);
    char one[1] = {'x'};
    copy(one, 1);
    EXPECT_EQ(one[0], '\0');
    char untouched[4] = {'a', 'b', 'c', 'd'};
    copy(untouched, 0);
    copy(untouched, -5);
    EXPECT_EQ(std::string(untouched, 4), "abcd");
    EXPECT_TRUE(::FreeLibrary(module));
}

namespace {

// A copy of the DLL in a directory of its own, so its settings and log files
// land there and not beside the build output.
class DllCopy {
public:
    DllCopy() {
        char temp[MAX_PATH] = {};
        ::GetTempPathA(MAX_PATH, temp);
        directory_ = std::string(temp) + "tly-dll-" + std::to_string(::GetCurrentProcessId());
        ::CreateDirectoryA(directory_.c_str(), nullptr);
        path_ = directory_ + "\\TallyportAccessControlTranslator.dll";
        ::CopyFileA(DllPath().c_str(), path_.c_str(), FALSE);
    }
    ~DllCopy() {
        for (const char* name : {"TallyportAccessControlTranslator.dll", "tallyport_settings.json",
                                 "tly_translator.log", "tly_translator_bootstrap.log"}) {
            ::DeleteFileA((directory_ + "\\" + name).c_str());
        }
        ::RemoveDirectoryA(directory_.c_str());
    }
    const std::string& Path() const { return path_; }
    std::string File(const char* name) const { return directory_ + "\\" + name; }

private:
    std::string directory_;
    std::string path_;
};

template <typename Function>
Function Export(HMODULE module, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

}  // namespace

// Opening a panel starts the settings watcher thread; closing the last panel
// must stop it on that ordinary path, or FreeLibrary would deadlock with it.
TEST(DllLoad, OpenCloseUnloadCycleDoesNotHang) {
    DllCopy copy;
    for (int cycle = 0; cycle < 3; ++cycle) {
        HMODULE module = ::LoadLibraryA(copy.Path().c_str());
        ASSERT_NE(module, nullptr);
        auto open = Export<bool(__cdecl*)(int)>(module, "TLYAPI_Open");
        auto close = Export<void(__cdecl*)(int)>(module, "TLYAPI_Close");
        ASSERT_TRUE(open && close);
        EXPECT_EQ(open(1), cycle > 0) << "the first open writes the default settings file";
        open(2);
        close(1);
        close(2);
        EXPECT_TRUE(::FreeLibrary(module));
        EXPECT_EQ(::GetModuleHandleA("TallyportAccessControlTranslator.dll"), nullptr) << "really unloaded";
    }
    EXPECT_NE(::GetFileAttributesA(copy.File("tallyport_settings.json").c_str()), INVALID_FILE_ATTRIBUTES);
}

// A host that exits with a panel still open: the process must end promptly.
TEST(DllLoad, ProcessExitWithOpenPanelDoesNotHang) {
    DllCopy copy;
    HMODULE module = ::LoadLibraryA(copy.Path().c_str());
    ASSERT_NE(module, nullptr);
    auto open = Export<bool(__cdecl*)(int)>(module, "TLYAPI_Open");
    open(1);
    // FreeLibrary now would only drop our reference: the watcher thread holds
    // the module, so it cannot be unloaded under the thread's feet.
    EXPECT_TRUE(::FreeLibrary(module));
    EXPECT_NE(::GetModuleHandleA("TallyportAccessControlTranslator.dll"), nullptr);
}
