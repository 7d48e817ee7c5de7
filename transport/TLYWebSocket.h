#pragma once
// The WebSocket event channel of the Tallyport server over WinHTTP.

#include <cstdint>
#include <functional>
#include <string>

class TLYWebSocket {
public:
    using MessageHandler = std::function<void(const std::string&)>;
    using StateHandler = std::function<void(bool connected)>;

    TLYWebSocket() = default;
    ~TLYWebSocket() { Close(); }
    TLYWebSocket(const TLYWebSocket&) = delete;
    TLYWebSocket& operator=(const TLYWebSocket&) = delete;

    void SetMessageHandler(MessageHandler handler) { messageHandler_ = std::move(handler); }
    void SetStateHandler(StateHandler handler) { stateHandler_ = std::move(handler); }
    bool IsConnected() const { return false; }
    bool Connect(const std::string&, std::uint16_t, const std::string&, bool, const std::string&) { return false; }
    double SecondsSinceLastMessage() const { return 1e18; }
    void Close() {}

private:
    MessageHandler messageHandler_;
    StateHandler stateHandler_;
};
