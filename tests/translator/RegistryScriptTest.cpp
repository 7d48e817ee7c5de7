// Registration from a registry script, run against a scratch key under
// HKEY_CURRENT_USER that stands in for the script's root.

#include "translator/framework/RegistryScript.h"

#include "platform/TextConversion.h"
#include "platform/UniqueResource.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace tly::test {
namespace {

class RegistryScriptTest : public ::testing::Test {
protected:
    RegistryScriptTest() {
        path_ = L"Software\\tly-registry-test-" + std::to_wstring(::GetCurrentProcessId());
        ::RegCreateKeyExW(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, root_.put(),
                          nullptr);
    }
    ~RegistryScriptTest() override {
        root_.reset();
        ::RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
    }

    HRESULT Run(const std::string& script, com::RegistryMode mode,
                const std::vector<com::RegistryReplacement>& replacements = {}) {
        HKEY root = root_.get();
        return com::RunRegistryScript(script, replacements, mode,
                                      [root](std::string_view name) { return name == "HKCR" ? root : nullptr; });
    }
    bool Exists(const std::wstring& key) {
        UniqueRegistryKey opened;
        return ::RegOpenKeyExW(root_.get(), key.c_str(), 0, KEY_READ, opened.put()) == ERROR_SUCCESS;
    }
    std::optional<std::wstring> Text(const std::wstring& key, const wchar_t* name = nullptr) {
        wchar_t buffer[512] = {};
        DWORD size = sizeof(buffer);
        if (::RegGetValueW(root_.get(), key.c_str(), name, RRF_RT_REG_SZ, nullptr, buffer, &size) != ERROR_SUCCESS) {
            return std::nullopt;
        }
        return std::wstring(buffer);
    }
    void MakeKey(const std::wstring& key) {
        UniqueRegistryKey made;
        ::RegCreateKeyExW(root_.get(), key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, made.put(), nullptr);
    }

    std::wstring path_;
    UniqueRegistryKey root_;
};

const char kScript[] = R"(
HKCR
{
    App.Thing.1 = s 'Thing Class'
    {
        CLSID = s '%CLSID%'
    }
    NoRemove CLSID
    {
        ForceRemove %CLSID% = s 'Thing Class'
        {
            InprocServer32 = s '%MODULE%'
            {
                val ThreadingModel = s 'Both'
                val Flags = d 17
            }
        }
    }
}
)";

const std::vector<com::RegistryReplacement> kReplacements = {
    {"CLSID", "{11111111-2222-3333-4444-555555555555}"},
    {"MODULE", "C:\\Program Files\\O'Brien\\thing \xC3\xA4.dll"},  // a quote and a non-ASCII letter
};

TEST_F(RegistryScriptTest, RegistersKeysValuesAndReplacements) {
    ASSERT_EQ(Run(kScript, com::RegistryMode::Register, kReplacements), S_OK);
    EXPECT_EQ(Text(L"App.Thing.1"), L"Thing Class");
    EXPECT_EQ(Text(L"App.Thing.1\\CLSID"), L"{11111111-2222-3333-4444-555555555555}");
    const std::wstring server = L"CLSID\\{11111111-2222-3333-4444-555555555555}\\InprocServer32";
    EXPECT_EQ(Text(server), L"C:\\Program Files\\O'Brien\\thing \u00e4.dll");
    EXPECT_EQ(Text(server, L"ThreadingModel"), L"Both");
    DWORD flags = 0;
    DWORD size = sizeof(flags);
    ASSERT_EQ(::RegGetValueW(root_.get(), server.c_str(), L"Flags", RRF_RT_REG_DWORD, nullptr, &flags, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(flags, 17u);
}

TEST_F(RegistryScriptTest, UnregisterRemovesWhatTheScriptOwnsAndKeepsNoRemoveAndForeignKeys) {
    MakeKey(L"CLSID\\{99999999-0000-0000-0000-000000000000}");  // another server's class
    ASSERT_EQ(Run(kScript, com::RegistryMode::Register, kReplacements), S_OK);
    MakeKey(L"CLSID\\{11111111-2222-3333-4444-555555555555}\\Extra");  // inside a ForceRemove key
    ASSERT_EQ(Run(kScript, com::RegistryMode::Unregister, kReplacements), S_OK);

    EXPECT_FALSE(Exists(L"App.Thing.1"));
    EXPECT_FALSE(Exists(L"CLSID\\{11111111-2222-3333-4444-555555555555}"));
    EXPECT_TRUE(Exists(L"CLSID"));
    EXPECT_TRUE(Exists(L"CLSID\\{99999999-0000-0000-0000-000000000000}"));

    // Unregistering what is not there is no failure.
    EXPECT_EQ(Run(kScript, com::RegistryMode::Unregister, kReplacements), S_OK);
}

TEST_F(RegistryScriptTest, PlainKeyWithForeignSubkeysSurvivesUnregistration) {
    const char script[] = "HKCR { Shared = s 'x' { Mine = s 'y' } }";
    ASSERT_EQ(Run(script, com::RegistryMode::Register), S_OK);
    MakeKey(L"Shared\\Theirs");
    ASSERT_EQ(Run(script, com::RegistryMode::Unregister), S_OK);
    EXPECT_FALSE(Exists(L"Shared\\Mine"));
    EXPECT_TRUE(Exists(L"Shared\\Theirs"));
}

TEST_F(RegistryScriptTest, ForceRemoveReplacesTheKeyWholeOnRegistration) {
    MakeKey(L"Thing\\Stale");
    ASSERT_EQ(Run("HKCR { ForceRemove Thing = s 'new' }", com::RegistryMode::Register), S_OK);
    EXPECT_EQ(Text(L"Thing"), L"new");
    EXPECT_FALSE(Exists(L"Thing\\Stale"));
}

TEST_F(RegistryScriptTest, MalformedScriptsTouchNothing) {
    const HRESULT bad = HRESULT_FROM_WIN32(ERROR_BAD_FORMAT);
    const char* scripts[] = {
        "HKCR { Key = s 'unterminated }",
        "HKCR { Key = s 'x' ",
        "HKCR { Key = q 'x' }",
        "HKCR { Key = d twelve }",
        "HKLM_ELSEWHERE { Key }",
        "HKCR { Key = s '%UNKNOWN%' }",
        "HKCR { %CLSID }",
        "HKCR { = s 'x' }",
    };
    for (const char* script : scripts) {
        EXPECT_EQ(Run(script, com::RegistryMode::Register, kReplacements), bad) << script;
    }
    EXPECT_FALSE(Exists(L"Key"));
}

}  // namespace
}  // namespace tly::test
