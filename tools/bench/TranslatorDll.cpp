#include "tools/bench/TranslatorDll.h"

#include "tools/bench/Stopwatch.h"

#include <windows.h>

#include <fstream>
#include <stdexcept>

namespace bench {
namespace {

constexpr char kDllName[] = "TallyportAccessControlTranslator.dll";

void Delivered() {
    Deliveries& log = DeliveryLog();
    log.count.fetch_add(1);
    if (const int ms = log.hostMsPerDelivery.load()) ::Sleep(static_cast<DWORD>(ms));
    if (!log.signalling.load()) return;
    log.lastAtMs.store(NowMs());
    ::SetEvent(log.event.get());
}

void __cdecl OnBadge(std::int32_t, std::int64_t, std::int32_t, std::int32_t, std::uint32_t) { Delivered(); }
void __cdecl OnAlarm(std::int32_t, std::int64_t, std::int32_t, std::int32_t, std::uint32_t, const wchar_t*) {
    Delivered();
}

template <typename Function>
bool Resolve(HMODULE module, const char* name, Function& function) {
    function = reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
    return function != nullptr;
}

}  // namespace

nlohmann::json ToJson(const SimulatorAccess& access) {
    return {{"host", access.host},           {"port", access.port},
            {"control_port", access.controlPort}, {"client_id", access.clientId},
            {"client_secret", access.clientSecret}, {"thumbprint", access.thumbprint}};
}

SimulatorAccess SimulatorAccessFrom(const nlohmann::json& json) {
    SimulatorAccess access;
    access.host = json.at("host").get<std::string>();
    access.port = json.at("port").get<std::uint16_t>();
    access.controlPort = json.at("control_port").get<std::uint16_t>();
    access.clientId = json.at("client_id").get<std::string>();
    access.clientSecret = json.at("client_secret").get<std::string>();
    access.thumbprint = json.at("thumbprint").get<std::string>();
    return access;
}

Deliveries& DeliveryLog() {
    static Deliveries* log = [] {
        auto* created = new Deliveries;
        created->event.reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
        return created;
    }();
    return *log;
}

void TranslatorDll::Prepare(const std::string& dllPath, const std::string& directory, const SimulatorAccess& access,
                            const std::string& logLevel) {
    ::CreateDirectoryA(directory.c_str(), nullptr);
    const std::string copy = directory + "\\" + kDllName;
    if (!::CopyFileA(dllPath.c_str(), copy.c_str(), FALSE)) {
        throw std::runtime_error("cannot copy " + dllPath + " to " + copy);
    }
    const nlohmann::json settings = {
        {"version", 2},
        {"server",
         {{"hostname", access.host},
          {"port", access.port},
          {"client_id", access.clientId},
          {"client_secret", access.clientSecret},
          {"validate_cert", false},
          {"cert_thumbprint", access.thumbprint}}},
        {"logging", {{"level", logLevel}, {"file_name", "tly_translator.log"}, {"max_log_size_mb", 10}, {"max_log_files", 3}}},
        {"debug", {{"plaintext_secret", true}}},
    };
    std::ofstream(directory + "\\tallyport_settings.json", std::ios::binary) << settings.dump(2);
}

bool TranslatorDll::Load(const std::string& directory) {
    module_ = ::LoadLibraryA((directory + "\\" + kDllName).c_str());
    return module_ && Resolve(module_, "TLYAPI_Open", Open) && Resolve(module_, "TLYAPI_Connect", Connect) &&
           Resolve(module_, "TLYAPI_Close", Close) &&
           Resolve(module_, "TLYAPI_FetchPendingActivities", FetchPendingActivities) &&
           Resolve(module_, "TLYAPI_GetSubscribed", GetSubscribed) &&
           Resolve(module_, "TLYAPI_GetReadersGoneOffline", GetReadersGoneOffline) &&
           Resolve(module_, "TLYAPI_GetReadersGoneOnline", GetReadersGoneOnline) &&
           Resolve(module_, "TLYAPI_GetReadersStatus3", GetReadersStatus3) &&
           Resolve(module_, "TLYAPI_SetBadgeActivityCallback", SetBadgeActivityCallback) &&
           Resolve(module_, "TLYAPI_SetAlarmEventCallback", SetAlarmEventCallback);
}

bool TranslatorDll::Start(std::int32_t panel) {
    DeliveryLog();
    SetBadgeActivityCallback(&OnBadge);
    SetAlarmEventCallback(&OnAlarm);
    return Open(panel) && Connect(panel);
}

std::string TranslatorDll::PrepareForChild(const nlohmann::json& params, const std::string& logLevel) {
    std::string directory = params.at("module_dir").get<std::string>();
    Prepare(params.at("dll").get<std::string>(), directory, SimulatorAccessFrom(params.at("sim")), logLevel);
    return directory;
}

void TranslatorDll::LoadAndStart(const std::string& directory, std::int32_t panel) {
    if (!Load(directory) || !Start(panel)) throw std::runtime_error("the DLL cannot connect");
}

TranslatorDll TranslatorDll::StartForChild(const nlohmann::json& params, const std::string& logLevel,
                                           std::int32_t panel) {
    TranslatorDll dll;
    dll.LoadAndStart(PrepareForChild(params, logLevel), panel);
    return dll;
}

}  // namespace bench
