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
    EXPECT_EQ(Base64Encode(Bytes("Man")), "TWFu");
    EXPECT_EQ(Base64Encode(Bytes("Ma")), "TWE=");
    EXPECT_EQ(Base64Encode({}), "");

    std::vector<std::uint8_t> long_(300);
    for (size_t i = 0; i < long_.size(); ++i) long_[i] = static_cast<std::uint8_t>(i * 7);
    const std::string text = Base64Encode(long_);
    EXPECT_EQ(text.size(), 400u);
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos);
    EXPECT_EQ(Base64Decode(text), long_);

    EXPECT_TRUE(Base64Decode("").empty());
    EXPECT_TRUE(Base64Decode("!!!").empty());
}

TEST(SecretProtection, DpapiRoundTripKeepsEveryByte) {
    for (const std::string secret : {"s3cret", "quote\" backslash\\ slash/", "\xC3\xA9t\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x94\x91"}) {
        SCOPED_TRACE(secret);
        const std::string encrypted = DpapiEncrypt(secret);
        ASSERT_FALSE(encrypted.empty());
        EXPECT_EQ(encrypted.find(secret), std::string::npos);
        EXPECT_EQ(DpapiDecrypt(encrypted), secret);
    }
}

TEST(SecretProtection, DamagedOrForeignValuesFailAndSayWhy) {
    TempModuleDirectory dir;
    LogEverything();
    EXPECT_EQ(DpapiDecrypt("%%%"), "");
    EXPECT_EQ(MainLogLines(dir, "dpapi.decode_failed").size(), 1u);

    // Valid Base64 of bytes that are no protected blob.
    EXPECT_EQ(DpapiDecrypt(Base64Encode(Bytes("not a data-protection blob at all"))), "");
    const auto failed = MainLogLines(dir, "dpapi.decrypt_failed");
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0]["component"], "crypto");
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

TEST(SecretProtection, EncryptionThatCannotBeWrittenKeepsThePlaintextAndWarnsEachLoad) {
    TempModuleDirectory dir;
    WriteSettingsWithSecret(dir, "plain", false);
    const std::string original = dir.Read(kSettingsFile);
    const auto held = HoldOpen(dir.File(kSettingsFile));
    for (int load = 1; load <= 2; ++load) {
        TranslatorSettings settings;
        ASSERT_TRUE(LoadSettingsFile(settings));
        EXPECT_EQ(settings.client_secret, "plain");
        EXPECT_TRUE(settings.secret_was_plaintext);
        EXPECT_EQ(MainLogLines(dir, "settings.secret_encrypt_skipped").size(), static_cast<size_t>(load));
    }
    EXPECT_EQ(dir.Read(kSettingsFile), original);
}

TEST(SecretProtection, PlaintextSwitchRevertsTheStoredSecretOnce) {
    TempModuleDirectory dir;
    WriteSettingsWithSecret(dir, "DPAPI:" + DpapiEncrypt("back to plain"), true);

    TranslatorSettings settings;
    ASSERT_TRUE(LoadSettingsFile(settings));
    EXPECT_EQ(settings.client_secret, "back to plain");
    EXPECT_EQ(StoredSecret(dir), "back to plain");
    const std::string reverted = dir.Read(kSettingsFile);

    ASSERT_TRUE(LoadSettingsFile(settings));
    EXPECT_EQ(dir.Read(kSettingsFile), reverted);
    const auto lines = MainLogLines(dir, "settings.secret_decrypted");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["level"], "warn");
    EXPECT_FALSE(lines[0].contains("fields"));
}

// An empty secret with the plaintext switch would be "reverted" at every load,
// and each write would wake the settings watcher into another load.
TEST(SecretProtection, RevertThatChangesNothingDoesNotTouchTheFile) {
    for (const char* stored : {"", "DPAPI:"}) {
        SCOPED_TRACE(stored);
        TempModuleDirectory dir;
        WriteSettingsWithSecret(dir, stored, true);
        TranslatorSettings settings;
        ASSERT_TRUE(LoadSettingsFile(settings));
        const std::string afterFirstLoad = dir.Read(kSettingsFile);
        EXPECT_EQ(StoredSecret(dir), "");
        WIN32_FILE_ATTRIBUTE_DATA before{};
        ASSERT_TRUE(::GetFileAttributesExA(dir.File(kSettingsFile).c_str(), GetFileExInfoStandard, &before));

        for (int load = 0; load < 3; ++load) ASSERT_TRUE(LoadSettingsFile(settings));

        WIN32_FILE_ATTRIBUTE_DATA after{};
        ASSERT_TRUE(::GetFileAttributesExA(dir.File(kSettingsFile).c_str(), GetFileExInfoStandard, &after));
        EXPECT_EQ(::CompareFileTime(&before.ftLastWriteTime, &after.ftLastWriteTime), 0);
        EXPECT_EQ(dir.Read(kSettingsFile), afterFirstLoad);
        // Only the one real change of "DPAPI:" to "" is reported.
        EXPECT_EQ(MainLogLines(dir, "settings.secret_decrypted").size(), std::string(stored).empty() ? 0u : 1u);
        EXPECT_FALSE(HasEvent(dir.File("tly_translator.log"), "settings.secret_decrypt_skipped"));
    }
}
