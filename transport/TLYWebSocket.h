#pragma once
// The WebSocket event channel of the Tallyport server over WinHTTP.

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
    void Close() {}

private:
    MessageHandler messageHandler_;
    StateHandler stateHandler_;
};
