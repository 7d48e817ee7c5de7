#pragma once
// The translator DLL as a host loads it: a copy in a module directory of its
// own, with a settings file beside it, loaded by LoadLibrary and driven
// through its exports. The call-backs count what they receive.

#include "api/TLYApi.h"
#include "platform/UniqueResource.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <cstdint>
#include <string>

namespace bench {

// Where the simulator listens and how to sign in; handed to every child.
struct SimulatorAccess {
    std::string host = "127.0.0.1";
    std::uint16_t port = 0;
    std::uint16_t controlPort = 0;
    std::string clientId;
    std::string clientSecret;
    std::string thumbprint;  // lower-case, as the translator pins it
};
nlohmann::json ToJson(const SimulatorAccess& access);
SimulatorAccess SimulatorAccessFrom(const nlohmann::json& json);

// What the call-backs received, for the whole process (they are plain functions).
struct Deliveries {
    std::atomic<std::int64_t> count{0};
    std::atomic<double> lastAtMs{0};  // performance-counter time of the latest, while signalling
    // Set on every delivery while signalling is on. Off by default: setting an
    // event is a round trip to the Wine server, which a host's call-back does
    // not make and which would weigh on the drain as much as the DLL's own work.
    std::atomic<bool> signalling{false};
    std::atomic<int> hostMsPerDelivery{0};  // a host that takes its time over each record
    tly::UniqueHandle event;
};
Deliveries& DeliveryLog();

class TranslatorDll {
public:
    // Copies the DLL into directory and writes a settings file for the
    // simulator with the given log level; pins the simulator's certificate.
    static void Prepare(const std::string& dllPath, const std::string& directory, const SimulatorAccess& access,
                        const std::string& logLevel);

    // Loads the copy and resolves the exports; false when anything is missing.
    bool Load(const std::string& directory);
    // Registers the counting call-backs, opens and connects the panel.
    bool Start(std::int32_t panel);

    // For a child process: Prepare in params["module_dir"] for params["sim"]
    // and params["dll"]; returns the module directory.
    static std::string PrepareForChild(const nlohmann::json& params, const std::string& logLevel);
    // Load and Start; throws when the DLL cannot connect.
    void LoadAndStart(const std::string& directory, std::int32_t panel);
    // Both, for a child that measures from a connected panel on.
    static TranslatorDll StartForChild(const nlohmann::json& params, const std::string& logLevel,
                                       std::int32_t panel);

    decltype(&TLYAPI_Open) Open = nullptr;
    decltype(&TLYAPI_Connect) Connect = nullptr;
    decltype(&TLYAPI_Close) Close = nullptr;
    decltype(&TLYAPI_FetchPendingActivities) FetchPendingActivities = nullptr;
    decltype(&TLYAPI_GetSubscribed) GetSubscribed = nullptr;
    decltype(&TLYAPI_GetReadersGoneOffline) GetReadersGoneOffline = nullptr;
    decltype(&TLYAPI_GetReadersGoneOnline) GetReadersGoneOnline = nullptr;
    decltype(&TLYAPI_GetReadersStatus3) GetReadersStatus3 = nullptr;
    decltype(&TLYAPI_SetBadgeActivityCallback) SetBadgeActivityCallback = nullptr;
    decltype(&TLYAPI_SetAlarmEventCallback) SetAlarmEventCallback = nullptr;

private:
    // Left loaded: children end with the process, as a host does.
    HMODULE module_ = nullptr;
};

}  // namespace bench
