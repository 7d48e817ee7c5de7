#include "settings/Thumbprint.h"

#include "settings/PinInForce.h"
#include "settings/SettingsFile.h"
#include "settings/ThumbprintCache.h"
#include "tests/settings/SettingsTestSupport.h"

#include <gtest/gtest.h>

using namespace tly::test;

namespace {

// A self-signed test certificate (CN=tallyport-test) made with openssl, in
// DER form; openssl's SHA-1 fingerprint of it is below.
constexpr char kCertificateHex[] =
    "308201863082012da003020102021406ce1679511bef195330db87f45fafc0ec6f379e300a06082a"
    "8648ce3d04030230193117301506035504030c0e74616c6c79706f72742d74657374301e170d3236"
    "313230373230353133355a170d3336313230343230353133355a30193117301506035504030c0e74"
    "616c6c79706f72742d746573743059301306072a8648ce3d020106082a8648ce3d03010703420004"
    "59c41fd059ae16be2509f9488a1baf61c730ad477bc7c16e2aa674e93c95d59d6878babcf9fb4cc4"
    "73a143fb37e6dbdcb8ce3295c2da1b43031304ece4fe60cfa3533051301d0603551d0e0416041440"
    "201ce6210423217d7b04f0cb566ea77a4556cf301f0603551d2304183016801440201ce621042321"
    "7d7b04f0cb566ea77a4556cf300f0603551d130101ff040530030101ff300a06082a8648ce3d0403"
    "02034700304402202eff2a28448193be7e59bb724794dce910fba869294e9c1218bdfe28de613a9a"
    "02204e136079f9f021ff7a139d5627f81738ccde64348e6bf58497420ddc899b1969";
constexpr char kCertificateFingerprint[] = "C9:97:11:B3:AA:DE:02:78:93:30:1A:9F:85:F1:AD:FD:BF:1E:E1:04";

std::vector<unsigned char> FromHex(const std::string& hex) {
    std::vector<unsigned char> bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

}  // namespace

TEST(Thumbprint, NormalizesPinsCopiedFromCertificateViewers) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"AB:CD:ef 12", "abcdef12"},
        {" a-b\tc\r\nd\v\fE ", "abcde"},
        {"zz:ZZ", "zzzz"},  // not validated: such a pin never matches
        // Copied from Windows' certificate dialog: a left-to-right mark before it.
        {"\xE2\x80\x8E" "c9 97 11 b3", "c99711b3"},
        // Direction marks and embeddings, zero-width spaces and joiners, a
        // byte order mark and no-break spaces, anywhere.
        {"\xE2\x80\x8F" "ab\xE2\x80\xAA" "cd\xE2\x80\xAE" "ef\xE2\x80\x8B" "01\xE2\x80\x8D" "23\xE2\x81\xA0" "45",
         "abcdef012345"},
        {"\xEF\xBB\xBF" "ab\xC2\xA0" "cd\xE2\x80\xAF" "ef", "abcdef"},
        // Other text outside ASCII is kept: such a pin never matches, and says so.
        {"ab\xE2\x80\x90" "cd", "ab\xE2\x80\x90" "cd"},
    };
    for (const auto& [input, expected] : cases) EXPECT_EQ(NormalizeThumbprint(input), expected) << input;
}

TEST(Thumbprint, IsTheSha1OfTheDerBytesInLowerCaseHex) {
    const auto certificate = FromHex(kCertificateHex);
    ASSERT_EQ(certificate.size(), 394u);
    const std::string thumbprint = ComputeCertThumbprint(certificate.data(), certificate.size());
    EXPECT_EQ(thumbprint, "c99711b3aade027893301a9f85f1adfdbf1ee104");
    EXPECT_EQ(thumbprint, NormalizeThumbprint(kCertificateFingerprint));

    EXPECT_EQ(ComputeCertThumbprint(nullptr, 0), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
}

TEST(Thumbprint, CacheAnswersByTheCertificatesBytes) {
    const auto first = FromHex(kCertificateHex);
    auto second = first;
    second.back() ^= 0x01;  // another certificate: its signature differs in the last byte
    const std::vector<unsigned char> third(first.begin(), first.end() - 1);  // a prefix is another one too
    const std::string expected[] = {"c99711b3aade027893301a9f85f1adfdbf1ee104",
                                    ComputeCertThumbprint(second.data(), second.size()),
                                    ComputeCertThumbprint(third.data(), third.size())};
    ASSERT_NE(expected[1], expected[0]);

    // Each certificate seen again, after others, still gets its own thumbprint.
    tly::ThumbprintCache cache;
    const std::vector<unsigned char>* certificates[] = {&first, &second, &third};
    for (int index : {0, 0, 1, 0, 1, 2, 0, 2, 1}) {
        EXPECT_EQ(cache.Thumbprint(certificates[index]->data(), certificates[index]->size()), expected[index]) << index;
    }
}

TEST(Thumbprint, SavedPinIsReadBackNormalizedAndKeepsTheRestOfTheFile) {
    TempModuleDirectory dir;
    dir.Write(kSettingsFile, R"({"version": 2, "server": {"hostname": "srv", "client_secret": "DPAPI:"}})");
    ASSERT_EQ(SaveCertThumbprint(SettingsPath(), kCertificateFingerprint), PinSave::Saved);

    TranslatorSettings settings;
    ASSERT_TRUE(ReadSettingsJson(SettingsPath(), settings));
    EXPECT_EQ(settings.cert_thumbprint, "c99711b3aade027893301a9f85f1adfdbf1ee104");
    EXPECT_EQ(settings.hostname, "srv");
    EXPECT_EQ(ReadJson(dir, kSettingsFile)["server"]["client_secret"], "DPAPI:");
}

// A pin taken on first use is saved only into a file that does not name
// another one by then: a pin the operator typed in meanwhile wins.
TEST(Thumbprint, APinOnFirstUseNeverReplacesOneTypedInMeanwhile) {
    const std::string taken = "c99711b3aade027893301a9f85f1adfdbf1ee104";
    struct Case {
        const char* name;
        std::string text;
        PinSave expected;
        bool written;
    };
    const std::vector<Case> cases = {
        {"no pin yet", R"({"version": 2, "server": {"hostname": "srv"}})", PinSave::Saved, true},
        {"the same pin, written otherwise", R"({"version": 2, "server": {"cert_thumbprint": "C9:97:11:B3:AA:DE:02:78:93:30:1A:9F:85:F1:AD:FD:BF:1E:E1:04"}})",
         PinSave::Saved, true},
        {"another pin", R"({"version": 2, "server": {"cert_thumbprint": "aa"}})", PinSave::KeptOperatorsPin, false},
        {"an edit that no longer loads", R"({"version": 1, "server": {}})", PinSave::KeptOperatorsPin, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempModuleDirectory dir;
        dir.Write(kSettingsFile, c.text);
        EXPECT_EQ(SaveCertThumbprint(SettingsPath(), taken), c.expected);
        if (c.written) {
            EXPECT_EQ(ReadJson(dir, kSettingsFile)["server"]["cert_thumbprint"], taken);
        } else {
            EXPECT_EQ(dir.Read(kSettingsFile), c.text);
        }
    }
}

// How reads of the settings file and pins taken on first use leave the pin in
// force: each step is applied in turn to one PinInForce.
TEST(PinInForce, OnlyAChangeOfTheFilesOwnPinReplacesThePinInForce) {
    enum class Step { FileRead, Taken, Saved };
    const struct {
        Step step;
        std::string pin;
        bool replaced;        // FileRead's answer
        std::string inForce;  // after the step
        const char* why;
    } steps[] = {
        {Step::FileRead, "", false, "", "a file without a pin: the next certificate is pinned"},
        {Step::Taken, "aa", false, "aa", "pinned on first use; the file could not be written"},
        {Step::FileRead, "", false, "aa", "read again without it: the pin stays"},
        {Step::FileRead, "", false, "aa", "and again"},
        {Step::FileRead, "bb", true, "bb", "the operator sets a pin"},
        {Step::FileRead, "bb", false, "bb", "another member edited"},
        {Step::FileRead, "cc", true, "cc", "the operator changes it"},
        {Step::FileRead, "", true, "", "the operator empties it: the next certificate is pinned"},
        {Step::Taken, "dd", false, "dd", "pinned on first use"},
        {Step::Saved, "dd", false, "dd", "and saved"},
        {Step::FileRead, "dd", false, "dd", "the saved file read back"},
        {Step::FileRead, "", true, "", "the operator empties the saved pin"},
        {Step::Taken, "ee", false, "ee", "pinned on first use"},
        {Step::Saved, "ee", false, "ee", "and saved"},
        {Step::FileRead, "", true, "", "emptied before any read saw the saved pin: still an edit"},
    };
    PinInForce pin;
    for (const auto& each : steps) {
        SCOPED_TRACE(each.why);
        if (each.step == Step::FileRead) {
            EXPECT_EQ(pin.FileRead(each.pin), each.replaced);
        } else if (each.step == Step::Taken) {
            pin.Taken(each.pin);
        } else {
            pin.Saved(each.pin);
        }
        EXPECT_EQ(pin.Pin(), each.inForce);
    }
}
