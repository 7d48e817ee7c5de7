// The built DLL with a receive thread that Close had to leave behind: the
// thread keeps the module loaded until it ends, then lets it go.

#include "tests/transport/TransportTestSupport.h"

#include <windows.h>

#include <cstdint>

namespace tly::test {
namespace {

constexpr char kDllName[] = "TallyportAccessControlTranslator.dll";

// The build puts the DLL beside the test program.
std::string BuiltDllPath() {
    char program[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameA(nullptr, program, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return {};
    std::string path(program, length);
    return path.substr(0, path.find_last_of("\\/") + 1) + kDllName;
}

template <typename Function>
Function Export(HMODULE module, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

// Polls, since an unload signals nothing a test can wait on.
bool WaitUntilUnloaded(DWORD timeoutMs) {
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    while (::GetModuleHandleA(kDllName) != nullptr) {
        if (::GetTickCount64() >= deadline) return false;
        ::Sleep(50);
    }
    return true;
}

class WebSocketModuleTest : public TransportTest {};

TEST_F(WebSocketModuleTest, AReceiveThreadLeftBehindHoldsTheModuleUntilItEnds) {
    const std::string dllCopy = dir.File(kDllName);
    ASSERT_TRUE(::CopyFileA(BuiltDllPath().c_str(), dllCopy.c_str(), FALSE)) << BuiltDllPath();
    const nlohmann::json settings = {
        {"version", 2},
        {"server",
         {{"hostname", Simulator::kHost}, {"port", sim.Port()}, {"client_id", sim.ClientId()},
          {"client_secret", sim.ClientSecret()}}},
        {"logging", {{"level", "trace"}}},
        {"debug", {{"plaintext_secret", true}}},
    };
    dir.Write("tallyport_settings.json", settings.dump(2));
    // The server will never answer the client's close frame.
    sim.Call("POST", "/config", {{"ws_answer_client_close", false}});

    HMODULE module = ::LoadLibraryA(dllCopy.c_str());
    ASSERT_NE(module, nullptr);
    auto open = Export<bool(__cdecl*)(std::int32_t)>(module, "TLYAPI_Open");
    auto connect = Export<bool(__cdecl*)(std::int32_t)>(module, "TLYAPI_Connect");
    auto close = Export<void(__cdecl*)(std::int32_t)>(module, "TLYAPI_Close");
    ASSERT_TRUE(open && connect && close);
    ASSERT_TRUE(open(1));
    ASSERT_TRUE(connect(1));
    sim.Call("POST", "/wait/ws_clients", {{"count", 1}, {"timeout_ms", 10000}});

    // The last panel closes the channel; its receive thread cannot be woken.
    close(1);
    EXPECT_TRUE(::FreeLibrary(module));
    EXPECT_NE(::GetModuleHandleA(kDllName), nullptr) << "unloaded under a running thread";

    // Once its connection drops, the thread ends and the module goes with it.
    sim.Call("POST", "/connections/drop", {{"what", "websocket"}, {"mode", "reset"}});
    EXPECT_TRUE(WaitUntilUnloaded(10000));
}

}  // namespace
}  // namespace tly::test
