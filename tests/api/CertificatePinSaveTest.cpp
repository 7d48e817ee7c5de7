#include "api/TLYApiImpl.h"

#include "settings/SettingsFile.h"
#include "tests/settings/SettingsTestSupport.h"
#include "tests/support/WaitUntil.h"
#include "tests/transport/TransportTestSupport.h"

namespace tly::test {
namespace {

class CertificatePinSaveTest : public TransportTest {
protected:
    // A settings file that points at the simulator with validation off and no pin.
    void SetUp() override {
        settings.hostname = Simulator::kHost;
        settings.port = sim.Port();
        settings.client_id = sim.ClientId();
        settings.client_secret = sim.ClientSecret();
        settings.log_level = "trace";
        ASSERT_TRUE(WriteSettingsJson(SettingsPath(), settings));
        ASSERT_TRUE(api.LoadSettings());
    }
    void TearDown() override { api.StopBackgroundWork(); }

    std::string SavedThumbprint() const {
        return ReadJson(dir, kSettingsFile)["server"].value("cert_thumbprint", "");
    }

    // Waits until the watcher has reloaded the file count times in all.
    bool WaitForReloads(std::size_t count) {
        return WaitUntil([&] { return Logged("settings.watcher.reloaded").size() >= count; });
    }
    // Every request that met the alternate certificate carried no body and
    // was no channel upgrade: at most the headers of a request the pin refused
    // (which Wine lets out, see the pin check).
    void ExpectNothingButRefusedHeadersReachedTheAlternate() {
        const nlohmann::json log = sim.Call("GET", "/requests");
        for (const auto& request : log["requests"]) {
            if (request["cert"] != "alternate") continue;
            SCOPED_TRACE(request.dump());
            EXPECT_NE(request["path"], "/api/corvanta/events");
            EXPECT_EQ(request["body_length"], 0);
        }
    }

    TranslatorSettings settings;  // as the file was written
    TLYApiImpl api;
};

TEST_F(CertificatePinSaveTest, AFirstUsePinIsSavedOnceToTheFileAndTheRecord) {
    ASSERT_TRUE(api.EnsureServerConnection(1));
    EXPECT_EQ(SavedThumbprint(), sim.Thumbprint());
    EXPECT_EQ(api.SettingsSnapshot().cert_thumbprint, sim.Thumbprint());
    const auto saved = Logged("tofu.thumbprint_saved");
    ASSERT_EQ(saved.size(), 1u);
    EXPECT_EQ(saved[0]["component"], "tly_api");
    EXPECT_EQ(saved[0]["fields"]["thumbprint"], sim.Thumbprint());

    // The channel was opened under the pin just taken; later saves find nothing new.
    EXPECT_LT(api.SecondsSinceLastWebSocketMessage(), 60.0);
    api.SavePinnedThumbprint();
    EXPECT_EQ(Logged("tofu.thumbprint_saved").size(), 1u);
}

TEST_F(CertificatePinSaveTest, AFileThatCannotBeWrittenLeavesThePinInMemory) {
    {
        const auto held = HoldOpen(dir.File(kSettingsFile));
        ASSERT_TRUE(held.valid());
        ASSERT_TRUE(api.EnsureServerConnection(1));
    }
    const auto failed = Logged("tofu.thumbprint_save_failed");
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0]["level"], "warn");
    EXPECT_EQ(failed[0]["fields"]["thumbprint"], sim.Thumbprint());
    EXPECT_EQ(SavedThumbprint(), "");

    // Logged as an error too, once: the pin is not taken again.
    const auto notSaved = Logged("tofu.thumbprint_not_saved");
    ASSERT_EQ(notSaved.size(), 1u);
    EXPECT_EQ(notSaved[0]["component"], "tly_api");
    EXPECT_EQ(notSaved[0]["level"], "error");
    EXPECT_EQ(notSaved[0]["fields"]["thumbprint"], sim.Thumbprint());
    EXPECT_EQ(notSaved[0]["fields"]["reason"], "the settings file could not be read, parsed or written");

    // Not retried, and the pin is in force: another certificate is refused,
    // also once another panel's open has read the file without the pin.
    api.SavePinnedThumbprint();
    EXPECT_EQ(Logged("tofu.thumbprint_save_failed").size(), 1u);
    sim.UseCertificate("alternate");
    ASSERT_TRUE(api.LoadSettings());
    EXPECT_EQ(api.SettingsSnapshot().cert_thumbprint, sim.Thumbprint());
    // (The first attempt may meet the connection the swap cut.)
    EXPECT_FALSE(api.EnsureServerConnection(2));
    EXPECT_FALSE(api.EnsureServerConnection(3));
    // A connection made anew, token request first, is refused alike.
    api.StopBackgroundWork();
    ASSERT_TRUE(api.LoadSettings());
    EXPECT_FALSE(api.EnsureServerConnection(4));
    EXPECT_FALSE(Logged("cert.thumbprint_mismatch").empty());
    EXPECT_EQ(Logged("cert.thumbprint_pinned").size(), 1u);
    EXPECT_EQ(Logged("tofu.thumbprint_not_saved").size(), 1u);
    EXPECT_GE(sim.Requests("/auth/token").size(), 2u);
    ExpectNothingButRefusedHeadersReachedTheAlternate();
    EXPECT_EQ(sim.Call("GET", "/ws/clients").at("count"), 0);
}

TEST_F(CertificatePinSaveTest, AWatcherReloadKeepsThePinAndOnlyAnEditOfThePinReplacesIt) {
    {
        const auto held = HoldOpen(dir.File(kSettingsFile));
        ASSERT_TRUE(held.valid());
        ASSERT_TRUE(api.EnsureServerConnection(1));
    }
    ASSERT_EQ(SavedThumbprint(), "");

    // An edit of another member: the file is reloaded without the pin, which stays.
    settings.log_level = "debug";
    ASSERT_TRUE(WriteSettingsJson(SettingsPath(), settings));
    ASSERT_TRUE(WaitForReloads(1));
    EXPECT_EQ(api.SettingsSnapshot().cert_thumbprint, sim.Thumbprint());
    EXPECT_TRUE(Logged("tofu.pin_replaced").empty());
    EXPECT_TRUE(Logged("settings.watcher.reconnect").empty());
    sim.UseCertificate("alternate");
    EXPECT_FALSE(api.EnsureServerConnection(2));
    EXPECT_FALSE(api.EnsureServerConnection(3));
    ExpectNothingButRefusedHeadersReachedTheAlternate();

    // The operator pins the new certificate: it replaces the pin in force.
    ASSERT_EQ(UpdateServerFieldIfChanged(SettingsPath(), "cert_thumbprint", sim.AlternateThumbprint()),
              FieldUpdate::Written);
    // The watcher writes its "reloaded" line before it hands the record on:
    // the pin's line is the one to wait for.
    ASSERT_TRUE(WaitForReloads(2));
    ASSERT_TRUE(WaitUntil([&] { return !Logged("tofu.pin_replaced").empty(); }));
    const auto replaced = Logged("tofu.pin_replaced");
    ASSERT_EQ(replaced.size(), 1u);
    EXPECT_EQ(replaced[0]["level"], "info");
    EXPECT_EQ(replaced[0]["fields"]["thumbprint"], sim.AlternateThumbprint());
    EXPECT_EQ(api.SettingsSnapshot().cert_thumbprint, sim.AlternateThumbprint());
    // The edit made the connection again: closed, then brought up by the next connect.
    ASSERT_TRUE(WaitUntil([&] { return !api.ServerSessionOpenForTesting(); }));
    EXPECT_TRUE(api.EnsureServerConnection(4));

    // The operator empties it: the next certificate is pinned on first use, and saved.
    sim.UseCertificate("primary");
    ASSERT_EQ(UpdateServerFieldIfChanged(SettingsPath(), "cert_thumbprint", ""), FieldUpdate::Written);
    ASSERT_TRUE(WaitForReloads(3));
    ASSERT_TRUE(WaitUntil([&] { return Logged("tofu.pin_replaced").size() >= 2; }));
    ASSERT_TRUE(WaitUntil([&] { return !api.ServerSessionOpenForTesting(); }));
    ASSERT_EQ(Logged("tofu.pin_replaced").size(), 2u);
    EXPECT_EQ(Logged("tofu.pin_replaced")[1]["fields"]["thumbprint"], "");
    EXPECT_TRUE(api.EnsureServerConnection(5));
    EXPECT_EQ(Logged("cert.thumbprint_pinned").size(), 2u);
    EXPECT_EQ(SavedThumbprint(), sim.Thumbprint());
}

}  // namespace
}  // namespace tly::test
