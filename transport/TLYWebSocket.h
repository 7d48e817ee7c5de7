#pragma once
// The WebSocket event channel of the Tallyport server over WinHTTP: one TLS
// WebSocket to "/api/corvanta/events", authorised by the access token in the
// query. A receive thread reassembles text messages and hands each one to the
// message call-back; connection state changes go to the state call-back.
//
// Connect and Close may be called from different threads: they are serialised
// by a lock inside the client, lifecycleMutex_, which is never held while a
// receive thread is waited for, nor across the upgrade: a Shut while an
// upgrade is under way returns at once, and the upgraded channel is then
// closed unused. Ending a connection is two steps: Shut, under
// the lock, stops it and takes its receive thread out; the Ending it hands
// back then waits for that thread with no lock held, a few seconds at most
// whatever the server does (see Ending::Finish). A caller that holds a lock
// of its own shuts under it and lets the Ending finish after letting go.
// The call-backs run with no lock of the client held; they must not call
// Connect, Shut or Close of the same client.
//
// Lock order inside the client: lifecycleMutex_ before stateQueueMutex_ and
// lastMessageLock, both leaves.

#include "platform/ModuleThread.h"
#include "platform/Mutex.h"

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>

class TLYWebSocket {
public:
    using MessageCallback = std::function<void(const std::string&)>;
    using StateCallback = std::function<void(bool connected)>;

    // A longer message is dropped (and logged) instead of being assembled.
    static constexpr std::size_t kMaxMessageBytes = 16u * 1024u * 1024u;

    TLYWebSocket();
    ~TLYWebSocket();
    TLYWebSocket(const TLYWebSocket&) = delete;
    TLYWebSocket& operator=(const TLYWebSocket&) = delete;

    // Installed once, before the first Connect.
    void SetMessageCallback(MessageCallback callback) { onMessage = std::move(callback); }
    void SetStateCallback(StateCallback callback) { onStateChanged = std::move(callback); }

    class Ending;

    // Ends the connection there is (waiting for its receive thread, see
    // Ending), then connects, each step of the upgrade ending by the request
    // deadline of the calling thread (RequestLimits.h). wanted, when given,
    // is asked under the client's lock once the upgrade is through: false
    // closes the new channel unused (its owner was closed meanwhile). It must
    // take no lock.
    bool Connect(const std::string& host, std::uint16_t port, const std::string& accessToken, bool validateCert,
                 const std::string& pinnedThumbprint, const std::function<bool()>& wanted = nullptr)
        TLY_EXCLUDES(lifecycleMutex_);
    // Shut, then the Ending finished at once.
    void Close() TLY_EXCLUDES(lifecycleMutex_);
    // Stops the connection there is, or what is left of one that ended by
    // itself; its receive thread is waited for by the Ending handed back.
    Ending Shut() TLY_EXCLUDES(lifecycleMutex_);
    bool IsConnected() const { return connected.load(); }
    // Counts the connections made; one serial is one unbroken connection.
    // Read after IsConnected answered true: a serial read then is that of the
    // connection seen up or of a later one, never of an earlier one.
    std::uint64_t ConnectionSerial() const { return connectionSerial.load(); }
    double SecondsSinceLastMessage() const TLY_EXCLUDES(lastMessageLock);

    // Tests only: a shorter wait for the upgrade response than 30000 ms.
    void SetReceiveTimeoutForTesting(DWORD milliseconds) { receiveTimeoutMs_ = milliseconds; }
    // Tests only: runs on the receive thread at the start of each pass (after
    // a receive returned), and may throw; null: none.
    void SetReceivePassHookForTesting(void (*hook)()) { receivePassHook_.store(hook); }

private:
    struct Channel;

    // The upgrade, with no lock held; null (logged) when it fails.
    std::shared_ptr<Channel> Dial(const std::string& host, std::uint16_t port, const std::string& accessToken,
                                  bool validate, const std::string& pinnedThumbprint) TLY_EXCLUDES(lifecycleMutex_);
    // Makes an upgraded channel the connection and starts its receive thread.
    bool StartLocked(std::shared_ptr<Channel> channel) TLY_REQUIRES(lifecycleMutex_);
    Ending ShutLocked() TLY_REQUIRES(lifecycleMutex_);
    void ReceiveLoop(Channel& channel);
    bool ProcessReceived(Channel& channel, DWORD error, DWORD bytesRead, int bufferType, std::string& message,
                         std::size_t& messageBytes);
    void ReportConnectionEnded(const Channel& channel) TLY_EXCLUDES(lifecycleMutex_);
    void QueueStateChange(bool isConnected) TLY_REQUIRES(lifecycleMutex_) TLY_EXCLUDES(stateQueueMutex_);
    void RetractStateChange() TLY_REQUIRES(lifecycleMutex_) TLY_EXCLUDES(stateQueueMutex_);
    void DeliverStateChanges() TLY_EXCLUDES(stateQueueMutex_);

    tly::Mutex lifecycleMutex_;  // serialises Connect, Shut and a connection's end
    // The open connection's handles, shared with its receive thread: a thread
    // that its Ending had to leave behind keeps them until it ends.
    std::shared_ptr<Channel> channel_ TLY_GUARDED_BY(lifecycleMutex_);
    std::unique_ptr<tly::ModuleThread> receiveThread TLY_GUARDED_BY(lifecycleMutex_);
    // Counts Shuts, so a Connect whose upgrade a Shut overtook leaves its channel unused.
    std::uint64_t shuts_ TLY_GUARDED_BY(lifecycleMutex_) = 0;
    std::atomic<bool> connected{false};  // written under lifecycleMutex_
    std::atomic<std::uint64_t> connectionSerial{0};
    mutable tly::Mutex lastMessageLock TLY_ACQUIRED_AFTER(lifecycleMutex_);
    // Performance counter at the last message or the upgrade; 0: never.
    std::int64_t lastMessageCounter TLY_GUARDED_BY(lastMessageLock) = 0;
    std::int64_t counterFrequency = 0;
    MessageCallback onMessage;
    StateCallback onStateChanged;
    DWORD receiveTimeoutMs_ = 30000;
    std::atomic<void (*)()> receivePassHook_{nullptr};

    // State changes are queued in the order they happen and delivered outside
    // every lock by whichever thread finds no delivery in progress, so the
    // state call-back sees true and false in order and false once per connection.
    tly::Mutex stateQueueMutex_ TLY_ACQUIRED_AFTER(lifecycleMutex_);
    std::deque<bool> pendingStates_ TLY_GUARDED_BY(stateQueueMutex_);
    bool delivering_ TLY_GUARDED_BY(stateQueueMutex_) = false;
};

// What is left of a connection once it is shut: its receive thread and the
// handles that thread shares. Finish (or the destructor) waits for the thread
// and then delivers the state change of the end; call it with no lock held.
// Movable; assigning over an Ending finishes the one it held first.
class TLYWebSocket::Ending {
public:
    Ending() = default;
    Ending(Ending&& other) noexcept;
    Ending& operator=(Ending&& other) noexcept;
    ~Ending() { Finish(); }
    void Finish() noexcept;

private:
    friend class TLYWebSocket;
    TLYWebSocket* client_ = nullptr;
    std::shared_ptr<Channel> channel_;
    std::unique_ptr<tly::ModuleThread> thread_;
};
