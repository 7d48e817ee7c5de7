// The data folder the installer records: used only for the programs in the
// recorded install folder, whatever the form of its name; anything else keeps
// the data beside the module, and a recorded folder that is gone is still the
// data folder, marked missing.

#include "logging/DataFolderRecord.h"

#include "platform/UniqueResource.h"
#include "tests/support/TempModuleDirectory.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <optional>
#include <string>

namespace tly::test {
namespace {

// A product key of this test's own under HKCU, removed afterwards.
class RecordKey {
public:
    RecordKey() : path_("Software\\TallyportTest\\DataFolder-" + std::to_string(::GetCurrentProcessId())) {}
    ~RecordKey() { ::RegDeleteTreeA(HKEY_CURRENT_USER, path_.c_str()); }
    RecordKey(const RecordKey&) = delete;
    RecordKey& operator=(const RecordKey&) = delete;

    const char* Path() const { return path_.c_str(); }

    void Set(const char* name, const std::optional<std::string>& value) const {
        UniqueRegistryKey key;
        ASSERT_EQ(::RegCreateKeyExA(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_32KEY,
                                    nullptr, key.put(), nullptr),
                  ERROR_SUCCESS);
        if (!value) return;
        ASSERT_EQ(::RegSetValueExA(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value->c_str()),
                                   static_cast<DWORD>(value->size() + 1)),
                  ERROR_SUCCESS);
    }

private:
    std::string path_;
};

std::string Upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::toupper(c); });
    return text;
}

TEST(DataFolderRecordTest, TheRecordAppliesOnlyToTheProgramsInTheRecordedFolder) {
    TempModuleDirectory programs;
    TempModuleDirectory data;
    const std::string gone = data.Path() + "\\no such folder";
    data.Write("a file", "x");

    struct Case {
        const char* name;
        std::optional<std::string> installFolder;  // nullopt: no key at all
        std::optional<std::string> dataFolder;
        std::string directory;  // expected data folder
        bool recorded;
        bool missing;
        DWORD error;
    };
    const Case cases[] = {
        {"no record", std::nullopt, std::nullopt, programs.Path(), false, false, 0},
        {"the installer's form", programs.Path() + "\\", data.Path() + "\\", data.Path(), true, false, 0},
        {"another case", Upper(programs.Path()), data.Path(), data.Path(), true, false, 0},
        {"another install folder", data.Path() + "\\", data.Path() + "\\", programs.Path(), false, false, 0},
        {"no data folder recorded", programs.Path() + "\\", std::nullopt, programs.Path(), false, false, 0},
        {"an empty data folder", programs.Path() + "\\", std::string(), programs.Path(), false, false, 0},
        {"a folder that is gone", programs.Path() + "\\", gone + "\\", gone, true, true, ERROR_FILE_NOT_FOUND},
        {"a file, not a folder", programs.Path(), data.File("a file"), data.File("a file"), true, true,
         ERROR_DIRECTORY},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RecordKey key;
        if (c.installFolder) {
            key.Set("InstallFolder", c.installFolder);
            key.Set("DataFolder", c.dataFolder);
        }
        const DataFolderLookup lookup = LookUpDataFolder(HKEY_CURRENT_USER, key.Path(), programs.Path());
        EXPECT_EQ(lookup.directory, c.directory);
        EXPECT_EQ(lookup.recorded, c.recorded);
        EXPECT_EQ(lookup.missing, c.missing);
        if (c.missing) {
            EXPECT_TRUE(lookup.win32Error == c.error || lookup.win32Error == ERROR_PATH_NOT_FOUND)
                << lookup.win32Error;
        }
    }
}

// A value of another type is no record: the data stays beside the module.
TEST(DataFolderRecordTest, AValueOfAnotherTypeIsNoRecord) {
    TempModuleDirectory programs;
    RecordKey key;
    key.Set("InstallFolder", programs.Path());
    UniqueRegistryKey opened;
    ASSERT_EQ(::RegOpenKeyExA(HKEY_CURRENT_USER, key.Path(), 0, KEY_SET_VALUE | KEY_WOW64_32KEY, opened.put()),
              ERROR_SUCCESS);
    const DWORD number = 7;
    ASSERT_EQ(::RegSetValueExA(opened.get(), "DataFolder", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number),
                               sizeof(number)),
              ERROR_SUCCESS);
    const DataFolderLookup lookup = LookUpDataFolder(HKEY_CURRENT_USER, key.Path(), programs.Path());
    EXPECT_EQ(lookup.directory, programs.Path());
    EXPECT_FALSE(lookup.recorded);
}

}  // namespace
}  // namespace tly::test
