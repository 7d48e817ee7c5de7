#include "settings/SecretProtection.h"

#include "logging/Log.h"
#include "platform/UniqueResource.h"
#include "settings/SettingsFile.h"

#include <windows.h>
#include <wincrypt.h>

namespace {

constexpr char kSecretPrefix[] = "DPAPI:";
constexpr wchar_t kSecretDescription[] = L"Tallyport Client Secret";

LogField Win32ErrorField(DWORD error) { return {"win32_error", static_cast<std::uint32_t>(error)}; }

void LogSettings(LogLevel level, const char* event, const char* message) {
    LogEvent(level, "settings", event, message);
}

enum class SecretAction { None, Encrypt, Revert };

// What the stored secret of a file needs, by its two flags.
SecretAction ActionFor(const TranslatorSettings& settings) {
    if (!settings.plaintext_secret && settings.secret_was_plaintext) return SecretAction::Encrypt;
    if (settings.plaintext_secret && !settings.secret_was_plaintext) return SecretAction::Revert;
    return SecretAction::None;
}

void LogEncryptOutcome(FieldUpdate outcome, bool encryptionFailed, TranslatorSettings& settings) {
    if (outcome == FieldUpdate::Written) {
        settings.secret_was_plaintext = false;
        LogSettings(LogLevel::Info, "settings.secret_encrypted", "Encrypted plaintext client_secret with DPAPI");
    } else if (outcome == FieldUpdate::Failed || encryptionFailed) {
        LogSettings(LogLevel::Warn, "settings.secret_encrypt_skipped",
                    "Could not encrypt client_secret on disk (permissions?). Translator will work fine, but the "
                    "secret remains plaintext in the settings file.");
    }
}

void LogRevertOutcome(FieldUpdate outcome) {
    if (outcome == FieldUpdate::Written) {
        LogSettings(LogLevel::Warn, "settings.secret_decrypted",
                    "Reverted client_secret to plaintext on disk (plaintext_secret=true). Remove the plaintext_secret "
                    "flag to re-encrypt.");
    } else if (outcome == FieldUpdate::Failed) {
        LogSettings(LogLevel::Warn, "settings.secret_decrypt_skipped",
                    "Could not revert client_secret to plaintext on disk (permissions?)");
    }
    // Unchanged: the file already holds the plaintext (an empty secret), and
    // writing it again would wake the watcher into reloading without end.
}

}  // namespace

std::string Base64Encode(const std::vector<std::uint8_t>& bytes) {
    if (bytes.empty()) return {};
    constexpr DWORD kFlags = CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF;
    DWORD length = 0;
    if (!::CryptBinaryToStringA(bytes.data(), static_cast<DWORD>(bytes.size()), kFlags, nullptr, &length)) return {};
    std::string text(length, '\0');
    if (!::CryptBinaryToStringA(bytes.data(), static_cast<DWORD>(bytes.size()), kFlags, text.data(), &length)) {
        return {};
    }
    text.resize(length < text.size() ? length : text.size());
    while (!text.empty() && text.back() == '\0') text.pop_back();
    return text;
}

std::vector<std::uint8_t> Base64Decode(const std::string& text) {
    if (text.empty()) return {};
    DWORD length = 0;
    if (!::CryptStringToBinaryA(text.c_str(), 0, CRYPT_STRING_BASE64, nullptr, &length, nullptr, nullptr)) return {};
    std::vector<std::uint8_t> bytes(length);
    if (!::CryptStringToBinaryA(text.c_str(), 0, CRYPT_STRING_BASE64, bytes.data(), &length, nullptr, nullptr)) {
        return {};
    }
    bytes.resize(length < bytes.size() ? length : bytes.size());
    return bytes;
}

std::string DpapiEncrypt(const std::string& plaintext) {
    DATA_BLOB input{static_cast<DWORD>(plaintext.size()),
                    reinterpret_cast<BYTE*>(const_cast<char*>(plaintext.data()))};
    DATA_BLOB output{};
    if (!::CryptProtectData(&input, kSecretDescription, nullptr, nullptr, nullptr, 0, &output)) {
        LogEvent(LogLevel::Error, "crypto", "dpapi.encrypt_failed", "CryptProtectData failed",
                 {Win32ErrorField(::GetLastError())});
        return {};
    }
    const tly::UniqueLocalMemory outputOwner(output.pbData);

    const std::string text = Base64Encode(std::vector<std::uint8_t>(output.pbData, output.pbData + output.cbData));
    if (text.empty()) LogEvent(LogLevel::Error, "crypto", "dpapi.encode_failed", "Base64 encoding of DPAPI blob failed");
    return text;
}

std::string DpapiDecrypt(const std::string& text) {
    std::vector<std::uint8_t> blob = Base64Decode(text);
    if (blob.empty()) {
        LogEvent(LogLevel::Error, "crypto", "dpapi.decode_failed", "Base64 decoding of DPAPI blob failed");
        return {};
    }

    DATA_BLOB input{static_cast<DWORD>(blob.size()), blob.data()};
    DATA_BLOB output{};
    if (!::CryptUnprotectData(&input, nullptr, nullptr, nullptr, nullptr, 0, &output)) {
        LogEvent(LogLevel::Error, "crypto", "dpapi.decrypt_failed",
                 "CryptUnprotectData failed — was the secret encrypted by a different Windows account?",
                 {Win32ErrorField(::GetLastError())});
        return {};
    }
    const tly::UniqueLocalMemory outputOwner(output.pbData);

    std::string plaintext(reinterpret_cast<const char*>(output.pbData), output.cbData);
    // The platform's copy of the plaintext does not outlive this call.
    ::SecureZeroMemory(output.pbData, output.cbData);
    return plaintext;
}

// The record says whether the secret needs rewriting at all; what to write
// is decided again from the file as it is at the moment of writing, so an
// edit saved since the record was read is never replaced by the older secret
// or wiped: the write-back then acts on the edit instead, or leaves it alone.
void ReconcileStoredSecret(const std::string& path, TranslatorSettings& settings) {
    if (ActionFor(settings) == SecretAction::None) return;

    SecretAction decided = ActionFor(settings);  // stays so when the file cannot even be read
    bool encryptionFailed = false;
    const FieldUpdate outcome =
        RewriteServerField(path, "client_secret", [&](const TranslatorSettings* file) -> std::optional<std::string> {
            decided = file ? ActionFor(*file) : SecretAction::None;
            encryptionFailed = false;
            if (decided == SecretAction::Revert) return file->client_secret;
            if (decided != SecretAction::Encrypt) return std::nullopt;
            const std::string encrypted = DpapiEncrypt(file->client_secret);
            if (encrypted.empty()) {
                encryptionFailed = true;
                return std::nullopt;
            }
            return kSecretPrefix + encrypted;
        });
    if (decided == SecretAction::Encrypt) LogEncryptOutcome(outcome, encryptionFailed, settings);
    if (decided == SecretAction::Revert) LogRevertOutcome(outcome);
}
