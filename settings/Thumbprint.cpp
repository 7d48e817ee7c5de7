#include "settings/Thumbprint.h"

#include "logging/Log.h"
#include "platform/UniqueResource.h"
#include "settings/SettingsFile.h"

#include <windows.h>
#include <wincrypt.h>

namespace {

struct CryptProviderTraits {
    using Type = HCRYPTPROV;
    static Type Invalid() noexcept { return 0; }
    static void Close(Type h) noexcept { ::CryptReleaseContext(h, 0); }
};

struct CryptHashTraits {
    using Type = HCRYPTHASH;
    static Type Invalid() noexcept { return 0; }
    static void Close(Type h) noexcept { ::CryptDestroyHash(h); }
};

using UniqueCryptProvider = tly::UniqueResource<CryptProviderTraits>;
using UniqueCryptHash = tly::UniqueResource<CryptHashTraits>;

constexpr DWORD kSha1Length = 20;

// Logs the failed call with the thread's last-error code; the caller returns empty.
std::string Failure(const char* event, const char* message) {
    LogEvent(LogLevel::Error, "crypto", event, message,
             {{"win32_error", static_cast<std::uint32_t>(::GetLastError())}});
    return {};
}

}  // namespace

std::string ComputeCertThumbprint(const unsigned char* bytes, std::size_t length) {
    UniqueCryptProvider provider;
    if (!::CryptAcquireContextA(provider.put(), nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) {
        return Failure("thumbprint.context_failed", "CryptAcquireContext failed");
    }
    UniqueCryptHash hash;
    if (!::CryptCreateHash(provider.get(), CALG_SHA1, 0, 0, hash.put())) {
        return Failure("thumbprint.hash_create_failed", "CryptCreateHash failed");
    }
    if (!::CryptHashData(hash.get(), bytes, static_cast<DWORD>(length), 0)) {
        return Failure("thumbprint.hash_data_failed", "CryptHashData failed");
    }
    BYTE digest[kSha1Length] = {};
    DWORD digestLength = kSha1Length;
    if (!::CryptGetHashParam(hash.get(), HP_HASHVAL, digest, &digestLength, 0)) {
        return Failure("thumbprint.hash_get_failed", "CryptGetHashParam failed");
    }

    static constexpr char kHexDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * digestLength);
    for (DWORD i = 0; i < digestLength; ++i) {
        text.push_back(kHexDigits[digest[i] >> 4]);
        text.push_back(kHexDigits[digest[i] & 0x0f]);
    }
    return text;
}

PinSave SaveCertThumbprint(const std::string& path, const std::string& thumbprint) {
    bool operatorsPin = false;
    const FieldUpdate outcome =
        RewriteServerField(path, "cert_thumbprint", [&](const TranslatorSettings* file) -> std::optional<std::string> {
            operatorsPin = !file || (!file->cert_thumbprint.empty() && file->cert_thumbprint != thumbprint);
            if (operatorsPin) return std::nullopt;
            return thumbprint;
        });
    switch (outcome) {
        case FieldUpdate::Written: return PinSave::Saved;
        case FieldUpdate::Unchanged: return operatorsPin ? PinSave::KeptOperatorsPin : PinSave::Saved;
        case FieldUpdate::Superseded: return PinSave::KeptOperatorsPin;
        case FieldUpdate::Failed: break;
    }
    return PinSave::Failed;
}
