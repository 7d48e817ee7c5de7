#pragma once
// A native-API test against a private simulator: a temporary module directory
// whose settings file points at the simulator, and recording call-backs.

#include "tests/support/Simulator.h"
#include "tests/support/TempModuleDirectory.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tly::test {

// What the native layer handed to the translator's call-backs.
struct DeliveredEvent {
    std::int32_t readerIndex;
    std::int64_t badgeNumber;
    std::int32_t eventType;
    std::int32_t eventId;
    std::uint32_t eventTime;
    bool alarm;
    std::wstring text;
};

class ApiFixture : public ::testing::Test {
protected:
    ApiFixture();
    ~ApiFixture() override;

    // Rewrites the settings file; `server` members override the simulator's.
    void WriteSettings(const nlohmann::json& server = nlohmann::json::object(), const std::string& level = "trace");
    // Registers recording call-backs, as the translator does at start-up.
    void RegisterCallbacks(bool badge = true, bool alarm = true);
    // Opens and connects the panels; fails the test when a connect fails.
    void OpenAndConnect(const std::vector<std::int32_t>& panels);

    // Loads the standard test site into the simulator (see ApiFixture.cpp).
    void LoadStandardSite();
    nlohmann::json AddActivity(const nlohmann::json& activity);

    std::vector<DeliveredEvent> Delivered() const;
    // Waits until at least count events were delivered.
    bool WaitForDelivered(size_t count, int timeoutMs = 10000) const;
    // Waits for a condition, polling.
    static bool WaitUntil(const std::function<bool()>& condition, int timeoutMs = 10000);

    std::string LogPath() const { return dir.File("tly_translator.log"); }
    std::string LastError() const;

    TempModuleDirectory dir;
    Simulator sim;
};

// Blocks the next badge call-back until released; lets a test act while a run
// is in the middle of delivering.
class DeliveryGate {
public:
    DeliveryGate();
    ~DeliveryGate();
    bool WaitUntilHeld(int timeoutMs = 10000);
    void Release();
};

}  // namespace tly::test
