#pragma once
// The one connection of this process to the server, shared by every open
// panel: the REST client with its token, the event channel, and the health
// tick that keeps both alive.
//
// It owns both clients, the health tick's memory and one lock, lock_, which
// guards the clients' handles and the tick, never a request: the token, the
// health check and the channel's upgrade go out with no lock of the
// connection held, so a Close never waits for a server that is slow to
// answer. A close while a bring-up is under way ends the bring-up's requests
// at their next step (the REST session is marked closed), and a channel it
// upgrades meanwhile is closed unused (closes_). Under lock_ are taken: the
// REST client's lock, the channel's lifecycle lock (and its leaves), the open
// panels' and the delivery journal's (a close of the last panel), the last
// error's and the log's. It is never held while a call-back into the
// translator runs, nor while the channel's receive thread is waited for: the
// channel is shut under the lock and its Ending finishes after it.

#include "api/LastErrorText.h"
#include "platform/Mutex.h"
#include "settings/TranslatorSettings.h"
#include "transport/TLYRestClient.h"
#include "transport/TLYWebSocket.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

class ServerConnection {
public:
    // pinTaken: a certificate pinned on first use, to be kept in the settings.
    ServerConnection(LastErrorText& lastError, std::function<void(const std::string& thumbprint)> pinTaken,
                     TLYWebSocket::MessageCallback onMessage, TLYWebSocket::StateCallback onStateChanged);
    ServerConnection(const ServerConnection&) = delete;
    ServerConnection& operator=(const ServerConnection&) = delete;
    ~ServerConnection() { Close(); }

    // Brings up whatever is not up yet: the REST client, its token, a health
    // check, then the channel (whose failure leaves REST alone working).
    // False, with the last error set, when REST cannot be used.
    bool Open(std::int32_t panelId, const TranslatorSettings& settings) TLY_EXCLUDES(lock_);

    enum class Health { Down, Up, ChannelReopened };
    // The health tick: refreshes the token when due; a channel heard from
    // within the minute is enough, otherwise /status at most once in 30 s
    // (the answer in between is the last one), reopening the channel when REST
    // answers. currentSettings is asked only when the channel is reopened.
    Health Check(const std::function<TranslatorSettings()>& currentSettings) TLY_EXCLUDES(lock_);

    void Close() TLY_EXCLUDES(lock_);
    // Closes unless inUse answers true under the lock; closeWithIt goes with
    // the close. True when closed.
    bool CloseUnlessInUse(const std::function<bool()>& inUse, const std::function<void()>& closeWithIt)
        TLY_EXCLUDES(lock_);

    // Hands a newly pinned thumbprint to pinTaken once.
    void SavePinIfTaken();
    // The pin every request and the channel are held to from now on, for the
    // life of the process: only an operator's edit of the file's pin replaces
    // it (empty: the next certificate is pinned). Neither a connect nor a
    // close touches it.
    void ReplacePin(const std::string& thumbprint);

    TLYRestClient& Rest() { return rest_; }
    bool RestReady() const { return rest_.IsInitialized(); }
    bool ChannelUp() const { return channel_.IsConnected(); }
    // Read after ChannelUp answered true (see TLYWebSocket::ConnectionSerial).
    std::uint64_t ChannelSerial() const { return channel_.ConnectionSerial(); }
    double SecondsSinceLastMessage() const { return channel_.SecondsSinceLastMessage(); }
    TransportTrouble LastTrouble() const { return rest_.LastTrouble(); }

private:
    // Answers false once the connection was closed after closesBefore was read.
    std::function<bool()> StillWanted(std::uint64_t closesBefore) const;
    std::string ChannelPin(const TranslatorSettings& copy) const;
    // Warns, once per connection, of a "/status" answer's "server_time" more
    // than two minutes from this computer's UTC clock.
    void CompareServerClock(const std::string& statusAnswer);

    LastErrorText& lastError_;
    const std::function<void(const std::string&)> pinTaken_;

    tly::Mutex lock_;  // see above
    // Counts closes; a bring-up that started before one keeps no channel.
    // Raised under lock_ before the channel is shut; read without a lock.
    std::atomic<std::uint64_t> closes_{0};
    // closes_ + 1 of the connection whose server clock was compared; 0: none yet.
    std::atomic<std::uint64_t> clockComparedFor_{0};
    TLYRestClient rest_;
    TLYWebSocket channel_;
    // The health tick's memory, shared by every panel.
    struct HealthTick {
        std::uint32_t lastCheckTick = 0;
        bool lastResult = false;
    } healthTick_ TLY_GUARDED_BY(lock_);
};
