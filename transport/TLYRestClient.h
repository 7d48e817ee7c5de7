#pragma once
// The REST client of the Tallyport server over WinHTTP.

#include <cstdint>
#include <string>

class TLYRestClient {
public:
    TLYRestClient() = default;
    ~TLYRestClient() { Close(); }
    TLYRestClient(const TLYRestClient&) = delete;
    TLYRestClient& operator=(const TLYRestClient&) = delete;

    bool IsInitialized() const { return false; }
    bool Initialize(const std::string&, std::uint16_t, bool) { return false; }
    void SetPinnedThumbprint(const std::string&) {}
    bool Authenticate(const std::string&, const std::string&) { return false; }
    std::string AccessToken() const { return {}; }
    bool RefreshTokenIfDue() { return false; }
    bool GetWithRetry(const std::string&, std::string& response) {
        response = "not connected";
        return false;
    }
    bool PostWithRetry(const std::string&, std::string& response) {
        response = "not connected";
        return false;
    }
    void Close() {}
};
