#include "settings/SecretProtection.h"

#include "settings/SettingsFile.h"
#include "tests/settings/SettingsTestSupport.h"

#include "platform/FileAccess.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

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

namespace {

// Saves the whole file as an editor does (truncate, write), waiting out the
// moment a write-back holds it.
bool SaveAsAnEditorWould(const std::string& path, const std::string& text) {
    for (int attempt = 0; attempt < 500; ++attempt) {
        tly::UniqueFileHandle file(::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                 nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) {
            if (::GetLastError() != ERROR_SHARING_VIOLATION) return false;
            ::Sleep(1);
            continue;
        }
        DWORD written = 0;
        return ::WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
               written == text.size();
    }
    return false;
}

}  // namespace

// An operator saves two versions of the file (and a broken one) in turn, as
// fast as possible, while the secret's write-back runs in a loop with a record
// loaded from the first. Right after each save the file must hold that save,
// or that save with its own secret encrypted: never the other version, an
// older secret, a wiped one, or a valid file over the broken one.
TEST(SecretProtection, WriteBackNeverOverwritesAnEditSavedMeanwhile) {
    TempModuleDirectory dir;
    LogEverything();
    const auto version = [](const std::string& host, const std::string& secret) {
        return json{{"version", 2}, {"server", {{"hostname", host}, {"client_secret", secret}}}}.dump(2);
    };
    const std::string saves[] = {version("first", "secret-one"), version("second", "secret-two"),
                                 R"({"version": 2, "server": {"hostname": "broken", "client_secret": "x",}})"};
    const std::string path = dir.File(kSettingsFile);
    ASSERT_TRUE(SaveAsAnEditorWould(path, saves[0]));
    TranslatorSettings loaded;
    ASSERT_TRUE(ReadSettingsJson(SettingsPath(), loaded));
    ASSERT_TRUE(loaded.secret_was_plaintext);

    std::atomic<bool> editing{true};
    std::thread writeBack([&] {
        while (editing.load()) {
            TranslatorSettings record = loaded;  // always the first version's record, as a slow reload would hold
            ReconcileStoredSecret(SettingsPath(), record);
        }
    });

    // At least 600 rounds, and on until the write-back has written between
    // saves (the race was run), which a starved write-back thread may take
    // longer to do on a loaded machine.
    std::vector<std::string> faults;
    bool raced = false;
    for (int round = 0; round < 20000 && faults.size() < 5; ++round) {
        if (round >= 600 && round % 60 == 0) {
            raced = !MainLogLines(dir, "settings.secret_encrypted").empty();
            if (raced) break;
        }
        const std::string& saved = saves[round % 3];
        if (!SaveAsAnEditorWould(path, saved)) {
            faults.push_back("save failed: " + std::to_string(::GetLastError()));
            continue;
        }
        // Read as the translator loads it: a read that let a rewrite in place
        // go on beside it could see the start of one version and the end of
        // another, where the file itself never held that mix.
        std::string found;
        if (!ReadFileBetweenWrites(path, found)) {
            faults.push_back("read failed: " + std::to_string(::GetLastError()));
            continue;
        }
        if (found == saved) continue;
        const json wanted = json::parse(saved, nullptr, false);
        const json now = json::parse(found, nullptr, false);
        if (wanted.is_discarded() || now.is_discarded()) {
            faults.push_back("round " + std::to_string(round) + " found: " + found);
            continue;
        }
        const std::string stored = now["server"].value("client_secret", "");
        const bool ownSecretEncrypted = stored.rfind("DPAPI:", 0) == 0 &&
                                        DpapiDecrypt(stored.substr(6)) == wanted["server"]["client_secret"];
        json withoutSecret = now;
        withoutSecret["server"]["client_secret"] = wanted["server"]["client_secret"];
        if (!ownSecretEncrypted || withoutSecret != wanted) {
            faults.push_back("round " + std::to_string(round) + " found: " + found);
        }
    }
    editing = false;
    writeBack.join();
    EXPECT_TRUE(faults.empty()) << faults.size() << " faults, the first: " << faults.front();
    // The race was run: the write-back did write between saves.
    EXPECT_TRUE(raced || !MainLogLines(dir, "settings.secret_encrypted").empty());
}
