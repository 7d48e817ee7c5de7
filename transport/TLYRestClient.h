#pragma once
// The REST client of the Tallyport server over WinHTTP.

class TLYRestClient {
public:
    TLYRestClient() = default;
    ~TLYRestClient() { Close(); }
    TLYRestClient(const TLYRestClient&) = delete;
    TLYRestClient& operator=(const TLYRestClient&) = delete;

    bool IsInitialized() const { return false; }
    void Close() {}
};
