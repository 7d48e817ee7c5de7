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

void EncryptStoredSecret(const std::string& path, TranslatorSettings& settings) {
    const std::string encrypted = DpapiEncrypt(settings.client_secret);
    if (!encrypted.empty() &&
        UpdateServerFieldIfChanged(path, "client_secret", kSecretPrefix + encrypted) != FieldUpdate::Failed) {
        settings.secret_was_plaintext = false;
        LogSettings(LogLevel::Info, "settings.secret_encrypted", "Encrypted plaintext client_secret with DPAPI");
        return;
    }
    LogSettings(LogLevel::Warn, "settings.secret_encrypt_skipped",
                "Could not encrypt client_secret on disk (permissions?). Translator will work fine, but the secret "
                "remains plaintext in the settings file.");
}

void RevertStoredSecret(const std::string& path, const TranslatorSettings& settings) {
    switch (UpdateServerFieldIfChanged(path, "client_secret", settings.client_secret)) {
    case FieldUpdate::Written:
        LogSettings(LogLevel::Warn, "settings.secret_decrypted",
                    "Reverted client_secret to plaintext on disk (plaintext_secret=true). Remove the plaintext_secret "
                    "flag to re-encrypt.");
        break;
    case FieldUpdate::Unchanged:
        // The file already holds the plaintext (an empty secret): writing it
        // again would wake the watcher into reloading, and so on without end.
        break;
    case FieldUpdate::Failed:
        LogSettings(LogLevel::Warn, "settings.secret_decrypt_skipped",
                    "Could not revert client_secret to plaintext on disk (permissions?)");
        break;
    }
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

void ReconcileStoredSecret(const std::string& path, TranslatorSettings& settings) {
    if (!settings.plaintext_secret && settings.secret_was_plaintext) {
        EncryptStoredSecret(path, settings);
    } else if (settings.plaintext_secret && !settings.secret_was_plaintext) {
        RevertStoredSecret(path, settings);
    }
}
