// Loads the built DLL the way a host does and calls its exports by name.

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
