#include "tests/support/ApiFixture.h"
#include "tests/support/WaitUntil.h"

#include "logging/RepeatedLines.h"

#include "api/TLYApi.h"
#include "api/TLYApiImpl.h"

#include <windows.h>

#include <mutex>

namespace tly::test {
namespace {

std::mutex g_deliveredMutex;
std::vector<DeliveredEvent> g_delivered;

std::mutex g_gateMutex;
HANDLE g_gateHeld = nullptr;     // signalled when a call-back waits at the gate
HANDLE g_gateRelease = nullptr;  // signalled to let it through

void WaitAtGate() {
    HANDLE held = nullptr;
    HANDLE release = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_gateMutex);
        held = g_gateHeld;
        release = g_gateRelease;
    }
    if (!held) return;
    ::SetEvent(held);
    ::WaitForSingleObject(release, 20000);
}

void __cdecl RecordBadge(std::int32_t reader, std::int64_t badge, std::int32_t type, std::int32_t id,
                         std::uint32_t time) {
    WaitAtGate();
    std::lock_guard<std::mutex> lock(g_deliveredMutex);
    g_delivered.push_back({reader, badge, type, id, time, false, {}});
}

void __cdecl RecordAlarm(std::int32_t reader, std::int64_t badge, std::int32_t type, std::int32_t id,
                         std::uint32_t time, const wchar_t* text) {
    std::lock_guard<std::mutex> lock(g_deliveredMutex);
    g_delivered.push_back({reader, badge, type, id, time, true, text ? text : L""});
}

}  // namespace

ApiFixture::ApiFixture() {
    {
        std::lock_guard<std::mutex> lock(g_deliveredMutex);
        g_delivered.clear();
    }
    WriteSettings();
}

ApiFixture::~ApiFixture() {
    TLYAPI_SetBadgeActivityCallback(nullptr);
    TLYAPI_SetAlarmEventCallback(nullptr);
    TLYApiImpl::Instance().StopBackgroundWork();
    // Not left to later tests of this process: the panels' links, the failures.
    // (Here, not in the constructor: the instance must not be created before a
    // test installs its clock.)
    TLYApiImpl::Instance().ForgetPanelLinksForTesting();
    TLYApiImpl::Instance().ForgetTokenRefusalsForTesting();
    tly::ResetRepeatedLinesForTesting();
}

void ApiFixture::WriteSettings(const nlohmann::json& server, const std::string& level) {
    nlohmann::json settings = {
        {"version", 2},
        {"server",
         {{"hostname", Simulator::kHost}, {"port", sim.Port()}, {"client_id", sim.ClientId()},
          {"client_secret", sim.ClientSecret()}}},
        {"logging", {{"level", level}}},
        {"debug", {{"plaintext_secret", true}}},
    };
    for (auto& [key, value] : server.items()) settings["server"][key] = value;
    dir.Write("tallyport_settings.json", settings.dump(2));
}

void ApiFixture::RegisterCallbacks(bool badge, bool alarm) {
    TLYAPI_SetBadgeActivityCallback(badge ? &RecordBadge : nullptr);
    TLYAPI_SetAlarmEventCallback(alarm ? &RecordAlarm : nullptr);
}

void ApiFixture::OpenAndConnect(const std::vector<std::int32_t>& panels) {
    for (std::int32_t panel : panels) {
        ASSERT_TRUE(TLYAPI_Open(panel)) << "settings load for panel " << panel;
        ASSERT_TRUE(TLYAPI_Connect(panel)) << LastError();
    }
}

// Panel 1: handhelds 100 (guid G1, reader 1:2) and 101 (guid G2, reader 1:3),
// both at door 3 whose entry and exit readers are 1:7 and 1:8; door 5 has
// the readers 1:9 and 1:10. Panels 7, 17 and 70 have one handheld reader each
// (handhelds 700, 1700, 7000) at no door. Each handheld's panel reader carries
// the handheld's id.
void ApiFixture::LoadStandardSite() {
    auto reader = [](int id, const std::string& externalId, const std::string& guid, int door) {
        return nlohmann::json{{"id", id}, {"external_id", externalId}, {"name", "Reader " + externalId},
                              {"guid", guid}, {"door_id", door}};
    };
    auto handheld = [](int id, const std::string& guid, const std::string& externalId, int door) {
        return nlohmann::json{{"id", id}, {"name", "Handheld " + std::to_string(id)}, {"guid", guid},
                              {"external_id", externalId}, {"door_id", door}};
    };
    nlohmann::json site = {
        {"doors",
         {{{"id", 3}, {"name", "Gate"}, {"external_id", "D3"}, {"external_entry_reader_id", 7},
           {"external_exit_reader_id", 8}},
          {{"id", 5}, {"name", "Dock"}, {"external_id", "D5"}, {"external_entry_reader_id", 9},
           {"external_exit_reader_id", 10}}}},
        {"handhelds",
         {handheld(100, "G1", "1:2", 3), handheld(101, "G2", "1:3", 3), handheld(700, "G7", "7:1", 0),
          handheld(1700, "G17", "17:1", 0), handheld(7000, "G70", "70:1", 0)}},
        {"readers",
         {{"1",
           {reader(100, "1:2", "G1", 3), reader(101, "1:3", "G2", 3), reader(7, "1:7", "", 3), reader(8, "1:8", "", 3),
            reader(9, "1:9", "", 5), reader(10, "1:10", "", 5)}},
          {"7", {reader(700, "7:1", "G7", 0)}},
          {"17", {reader(1700, "17:1", "G17", 0)}},
          {"70", {reader(7000, "70:1", "G70", 0)}}}},
        {"connected", nlohmann::json::array()},
    };
    sim.Call("POST", "/site", site);
}

nlohmann::json ApiFixture::AddActivity(const nlohmann::json& activity) { return sim.Call("POST", "/activities", activity); }

std::vector<DeliveredEvent> ApiFixture::Delivered() const {
    std::lock_guard<std::mutex> lock(g_deliveredMutex);
    return g_delivered;
}

bool ApiFixture::WaitForDelivered(size_t count, int timeoutMs) const {
    return WaitUntil([&] { return Delivered().size() >= count; }, timeoutMs);
}

bool ApiFixture::WaitUntil(const std::function<bool()>& condition, int timeoutMs) {
    return tly::test::WaitUntil(condition, static_cast<DWORD>(timeoutMs));
}

std::string ApiFixture::LastError() const {
    char buffer[1024] = {};
    TLYAPI_GetLastErrorMessage(buffer, sizeof buffer);
    return buffer;
}

DeliveryGate::DeliveryGate() {
    std::lock_guard<std::mutex> lock(g_gateMutex);
    g_gateHeld = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    g_gateRelease = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

DeliveryGate::~DeliveryGate() {
    Release();
    std::lock_guard<std::mutex> lock(g_gateMutex);
    // Closed only at process end: a call-back may still be leaving the gate.
    g_gateHeld = nullptr;
}

bool DeliveryGate::WaitUntilHeld(int timeoutMs) {
    HANDLE held = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_gateMutex);
        held = g_gateHeld;
    }
    return held && ::WaitForSingleObject(held, static_cast<DWORD>(timeoutMs)) == WAIT_OBJECT_0;
}

void DeliveryGate::Release() {
    std::lock_guard<std::mutex> lock(g_gateMutex);
    if (g_gateRelease) ::SetEvent(g_gateRelease);
}

}  // namespace tly::test
