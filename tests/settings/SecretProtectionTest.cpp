#include "settings/SecretProtection.h"

#include "settings/SettingsFile.h"
#include "tests/settings/SettingsTestSupport.h"

#include <gtest/gtest.h>

using namespace tly::test;
using nlohmann::json;

namespace {

std::vector<std::uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

std::string StoredSecret(const TempModuleDirectory& dir) {
    return ReadJson(dir, kSettingsFile)["server"]["client_secret"].get<std::string>();
}

void WriteSettingsWithSecret(const TempModuleDirectory& dir, const std::string& secret, bool plaintextSecret) {
    json document = {{"version", 2},
                     {"server", {{"hostname", "srv"}, {"client_secret", secret}}},
                     {"logging", {{"level", "trace"}}}};
    if (plaintextSecret) document["debug"] = {{"plaintext_secret", true}};
    dir.Write(kSettingsFile, document.dump());
}

}  // namespace

TEST(SecretProtection, Base64IsStandardWithoutLineBreaks) {
    EXPECT_EQ(Base64Encode(Bytes("Ma")), "TWE=");
    const std::vector<std::uint8_t> long_(300, 0xfb);
    const std::string text = Base64Encode(long_);
    EXPECT_EQ(text.size(), 400u);
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos);
    EXPECT_EQ(Base64Decode(text), long_);
    EXPECT_TRUE(Base64Decode("!!!").empty());
}

TEST(SecretProtection, DpapiRoundTripKeepsEveryByteAndForeignBlobsFail) {
    TempModuleDirectory dir;
    LogEverything();
    const std::string secret = "quote\" backslash\\ \xC3\xA9t\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x94\x91";
    const std::string encrypted = DpapiEncrypt(secret);
    ASSERT_FALSE(encrypted.empty());
    EXPECT_EQ(DpapiDecrypt(encrypted), secret);

    EXPECT_EQ(DpapiDecrypt(Base64Encode(Bytes("not a data-protection blob at all"))), "");
    const auto failed = MainLogLines(dir, "dpapi.decrypt_failed");
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_TRUE(failed[0]["fields"]["win32_error"].is_number_integer());
}

TEST(SecretProtection, PlaintextSecretIsEncryptedOnDiskAndReadBackUnchanged) {
    TempModuleDirectory dir;
    const std::string secret = "p\xC3\xA4ss \"w\\rd\"";
    WriteSettingsWithSecret(dir, secret, false);

    TranslatorSettings settings;
    ASSERT_TRUE(LoadSettingsFile(settings));
    EXPECT_EQ(settings.client_secret, secret);
    EXPECT_FALSE(settings.secret_was_plaintext);

    const std::string stored = StoredSecret(dir);
    ASSERT_EQ(stored.rfind("DPAPI:", 0), 0u) << stored;
    EXPECT_GT(stored.size(), 6u);
    EXPECT_EQ(stored.find_first_of("\r\n"), std::string::npos);
    EXPECT_EQ(ReadJson(dir, kSettingsFile)["server"]["hostname"], "srv");
    EXPECT_EQ(MainLogLines(dir, "settings.secret_encrypted").size(), 1u);

    TranslatorSettings reloaded;
    ASSERT_TRUE(LoadSettingsFile(reloaded));
    EXPECT_EQ(reloaded.client_secret, secret);
    EXPECT_EQ(StoredSecret(dir), stored);  // already encrypted: not rewritten
    EXPECT_EQ(MainLogLines(dir, "settings.secret_encrypted").size(), 1u);
}

// With the plaintext switch the stored secret is written back in plain text
// once. A write that would change nothing (an empty secret) is skipped: each
// write wakes the settings watcher into another load, so it would never end.
TEST(SecretProtection, PlaintextSwitchRevertsOnceAndThenLeavesTheFileAlone) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"DPAPI:" + DpapiEncrypt("back to plain"), "back to plain"}, {"DPAPI:", ""}, {"", ""}};
    for (const auto& [stored, plaintext] : cases) {
        SCOPED_TRACE(stored);
        TempModuleDirectory dir;
        WriteSettingsWithSecret(dir, stored, true);
        TranslatorSettings settings;
        ASSERT_TRUE(LoadSettingsFile(settings));
        EXPECT_EQ(settings.client_secret, plaintext);
        EXPECT_EQ(StoredSecret(dir), plaintext);
        const std::string afterFirstLoad = dir.Read(kSettingsFile);
        WIN32_FILE_ATTRIBUTE_DATA before{};
        ASSERT_TRUE(::GetFileAttributesExA(dir.File(kSettingsFile).c_str(), GetFileExInfoStandard, &before));

        for (int load = 0; load < 3; ++load) ASSERT_TRUE(LoadSettingsFile(settings));

        WIN32_FILE_ATTRIBUTE_DATA after{};
        ASSERT_TRUE(::GetFileAttributesExA(dir.File(kSettingsFile).c_str(), GetFileExInfoStandard, &after));
        EXPECT_EQ(::CompareFileTime(&before.ftLastWriteTime, &after.ftLastWriteTime), 0);
        EXPECT_EQ(dir.Read(kSettingsFile), afterFirstLoad);
        const size_t changes = stored == plaintext ? 0 : 1;
        EXPECT_EQ(MainLogLines(dir, "settings.secret_decrypted").size(), changes);
        EXPECT_FALSE(HasEvent(dir.File("tly_translator.log"), "settings.secret_decrypt_skipped"));
    }
}
