#include "api/TLYApiImpl.h"

#include "settings/SettingsFile.h"
#include "tests/settings/SettingsTestSupport.h"
#include "tests/transport/TransportTestSupport.h"

namespace tly::test {
namespace {

class CertificatePinSaveTest : public TransportTest {
protected:
    // A settings file that points at the simulator with validation off and no pin.
    void SetUp() override {
        TranslatorSettings settings;
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

    // Not retried, and the pin is in force: another certificate is refused.
    api.SavePinnedThumbprint();
    EXPECT_EQ(Logged("tofu.thumbprint_save_failed").size(), 1u);
    // (The first attempt may meet the connection the swap cut.)
    sim.UseCertificate("alternate");
    EXPECT_FALSE(api.EnsureServerConnection(2));
    EXPECT_FALSE(api.EnsureServerConnection(3));
    EXPECT_FALSE(Logged("cert.thumbprint_mismatch").empty());
}

}  // namespace
}  // namespace tly::test
