#include "transport/TLYWebSocket.h"

#include "logging/Log.h"
#include "logging/RepeatedLines.h"
#include "platform/Clock.h"
#include "platform/TextConversion.h"
#include "transport/CertificatePin.h"
#include "transport/InternetHandles.h"
#include "transport/RequestLimits.h"
#include "transport/WinHttpSupport.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace {

constexpr char kComponent[] = "websocket";
constexpr wchar_t kUserAgent[] = L"Tallyport-Corvanta-Translator-WS/1.0";
constexpr char kUpgradePath[] = "/api/corvanta/events?access_token=";
constexpr DWORD kReceiveBufferBytes = 65536;
constexpr USHORT kNormalClosure = 1000;
constexpr std::uint32_t kSwitchingProtocols = 101;
constexpr double kNeverSeconds = 999999.0;
// An Ending waits this many 100 ms slices for a receive thread blocked in the
// platform's receive before leaving it behind.
constexpr int kCloseWaitSlices = 20;

void Log(LogLevel level, const char* event, const std::string& message, const LogFields& fields = {}) {
    tly::LogTransportLine(level, kComponent, event, message, fields);
}

// A failed receive pass's line repeats under this key while passes keep
// failing (logging/RepeatedLines.h, through LogTransportLine).
constexpr char kReceivePassFailedKey[] = "websocket/receive_pass_failed";

// Never throws: it runs in the handler of the failure it reports.
void ReportReceivePassFailed(const char* exceptionText) noexcept {
    try {
        Log(LogLevel::Error, "receive_pass_failed",
            "WebSocket receive pass failed; the message under way is dropped and receiving goes on",
            {{"exception", exceptionText}});
    } catch (...) {
        // out of memory even for the line: the loop goes on all the same
    }
}

}  // namespace

struct TLYWebSocket::Channel {
    // Declared parent first, so they close child first.
    tly::UniqueInternet rootHandle;
    tly::UniqueInternet connectionHandle;
    tly::UniqueInternet webSocketHandle;
    std::vector<char> buffer;
    // The receive loop goes on while set; once Shut clears it, the thread
    // touches nothing of its client again beyond finishing the message it is
    // handing over. Per connection, so a thread left behind never sees a later
    // connection's flag.
    std::atomic<bool> running{false};
    // Set while the receive thread runs code of its client (message assembly,
    // call-backs); clear while it waits in the platform's receive.
    std::atomic<bool> inClientCode{false};
};

TLYWebSocket::TLYWebSocket() : counterFrequency(tly::CurrentClock().PerformanceFrequency()) {}

TLYWebSocket::~TLYWebSocket() { Close(); }

bool TLYWebSocket::Connect(const std::string& host, std::uint16_t port, const std::string& accessToken,
                           bool validate, const std::string& pinnedThumbprint, const std::function<bool()>& wanted) {
    std::uint64_t shutsBefore = 0;
    {
        tly::MutexLock lock(lifecycleMutex_);
        // The earlier connection's end is queued before this one's start; its
        // thread, which reports nothing once shut, is waited for below.
        Ending previous = ShutLocked();
        shutsBefore = shuts_;
        lock.Unlock();
        previous.Finish();  // also delivers the state changes
    }

    // The upgrade goes out with no lock held, so a Shut meanwhile (a close)
    // never waits for a server that is slow to answer it.
    std::shared_ptr<Channel> channel;
    try {
        channel = Dial(host, port, accessToken, validate, pinnedThumbprint);
    } catch (const std::exception&) {
        channel.reset();  // memory ran out; what was built is released
    }
    bool connectedNow = false;
    bool superseded = false;
    if (channel) {
        tly::MutexLock lock(lifecycleMutex_);
        // Shut meanwhile, or another Connect got there first: this channel
        // closes unused (its handles go with the last share, below).
        superseded = shuts_ != shutsBefore || channel_ != nullptr || (wanted && !wanted());
        if (!superseded) connectedNow = StartLocked(std::move(channel));
    }
    channel.reset();
    DeliverStateChanges();
    if (superseded) {
        Log(LogLevel::Debug, "connect_superseded", "WebSocket connection closed unused: shut or replaced meanwhile",
            {{"hostname", host}, {"port", port}});
        return IsConnected();
    }
    // In this order: the receive thread started, the state reported, then this line.
    if (connectedNow) {
        tly::EndRepeatedFailures("websocket/");
        Log(LogLevel::Info, "connected", "WebSocket connected",
            {{"hostname", host}, {"port", port}, {"validate_cert", validate}});
    }
    return connectedNow;
}

std::shared_ptr<TLYWebSocket::Channel> TLYWebSocket::Dial(const std::string& host, std::uint16_t port,
                                                          const std::string& accessToken, bool validate,
                                                          const std::string& pinnedThumbprint) {
    // With validation off the pin is all that holds the server to who it
    // is: without one the channel is refused, never left unchecked. Its owner
    // passes the pin the REST requests took or were held to first.
    if (!validate && pinnedThumbprint.empty()) {
        Log(LogLevel::Error, "pin_missing",
            "No certificate pin to hold the server to with validation off — connection refused",
            {{"hostname", host}, {"port", port}});
        return nullptr;
    }
    auto channel = std::make_shared<Channel>();
    channel->rootHandle.reset(::WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                            WINHTTP_NO_PROXY_BYPASS, 0));
    if (!channel->rootHandle) {
        const DWORD error = ::GetLastError();
        Log(LogLevel::Error, "session_open_failed", "WebSocket WinHttpOpen failed", {{"win32_error", error}});
        return nullptr;
    }
    if (!tly::RequireTls12OrLater(channel->rootHandle.get())) {
        const DWORD error = ::GetLastError();
        Log(LogLevel::Error, "tls_protocols_failed", "Could not limit the session to TLS 1.2 and later — failing closed",
            {{"win32_error", error}});
        return nullptr;
    }
    channel->connectionHandle.reset(
        ::WinHttpConnect(channel->rootHandle.get(), tly::Utf8ToWide(host).c_str(), port, 0));
    if (!channel->connectionHandle) {
        const DWORD error = ::GetLastError();
        Log(LogLevel::Error, "connect_failed", "WebSocket WinHttpConnect failed",
            {{"hostname", host}, {"port", port}, {"win32_error", error}});
        return nullptr;
    }

    // Open the upgrade request: GET over TLS, the token in the query.
    const std::wstring path = tly::Utf8ToWide(kUpgradePath + accessToken);
    tly::UniqueInternet request(::WinHttpOpenRequest(channel->connectionHandle.get(), L"GET", path.c_str(), nullptr,
                                                     WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                     WINHTTP_FLAG_SECURE));
    if (!request) {
        const DWORD error = ::GetLastError();
        Log(LogLevel::Error, "request_open_failed", "Failed to open WebSocket upgrade request",
            {{"hostname", host}, {"port", port}, {"win32_error", error}});
        return nullptr;
    }
    // The upgrade's every step ends by its deadline: what is left of a host
    // call's budget, or the ceiling on the module's own threads.
    tly::SetRequestTimeouts(request.get(), std::min<std::uint32_t>(receiveTimeoutMs_, tly::RequestDeadlineMs()));

    // A redirect is never followed: the token in the path would go with it.
    if (!tly::RefuseRedirects(request.get())) {
        const DWORD error = ::GetLastError();
        Log(LogLevel::Error, "redirect_policy_failed", "Could not turn off redirects of the upgrade — failing closed",
            {{"win32_error", error}});
        return nullptr;
    }

    // With validation off the pin is checked as the request is being sent,
    // before the token in its path leaves; a refusal fails the connection.
    const bool checkPin = !validate;
    tly::SendingRequestCheck pin{
        [&pinnedThumbprint](HINTERNET r) { return !CheckCertificatePin(r, pinnedThumbprint).empty(); }};
    if (!validate) tly::IgnoreCertificateErrors(request.get());
    if (checkPin && !tly::InstallSendingRequestCheck(request.get(), pin)) {
        const DWORD error = ::GetLastError();
        Log(LogLevel::Error, "callback_install_failed", "Failed to install TLS thumbprint callback — failing closed",
            {{"win32_error", error}});
        return nullptr;
    }

    // Ask for the protocol switch.
    if (!::WinHttpSetOption(request.get(), WINHTTP_OPTION_UPGRADE_TO_WEB_SOCKET, nullptr, 0)) {
        const DWORD error = ::GetLastError();
        Log(LogLevel::Error, "upgrade_option_failed", "Failed to configure WebSocket upgrade option",
            {{"win32_error", error}});
        return nullptr;
    }

    // Send the upgrade request (headers only).
    const BOOL sent =
        ::WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0);
    const DWORD sendError = sent ? 0 : ::GetLastError();
    if (checkPin && tly::PinRefusedRequest(pin, request, sent)) return nullptr;  // the pin check has logged
    if (!sent) {
        Log(LogLevel::Error, "request_send_failed", "WebSocket upgrade request failed", {{"win32_error", sendError}});
        return nullptr;
    }

    // Receive the answer; only 101 Switching Protocols goes on. Wine completes
    // the upgrade on any answer (401, 404, 200), so the status is checked here.
    if (!::WinHttpReceiveResponse(request.get(), nullptr)) {
        const DWORD error = ::GetLastError();
        Log(LogLevel::Error, "response_receive_failed", "WebSocket upgrade response failed",
            {{"win32_error", error}});
        return nullptr;
    }
    const std::uint32_t status = tly::QueryStatusCode(request.get());
    if (tly::IsRedirectStatus(status)) {
        const std::string target = tly::RedirectTarget(request.get());
        Log(LogLevel::Error, "redirect_refused", "The server answered the upgrade with a redirect, which is never followed",
            {{"status_code", status}, {"redirect_to", target}});
        return nullptr;
    }
    if (status != kSwitchingProtocols) {
        Log(LogLevel::Error, "upgrade_failed", "WebSocket upgrade could not be completed",
            {{"win32_error", ERROR_WINHTTP_INVALID_SERVER_RESPONSE}, {"status_code", status}});
        return nullptr;
    }

    // Complete the upgrade; the request handle has done its work.
    channel->webSocketHandle.reset(::WinHttpWebSocketCompleteUpgrade(request.get(), 0));
    if (!channel->webSocketHandle) {
        const DWORD error = ::GetLastError();
        Log(LogLevel::Error, "upgrade_failed", "WebSocket upgrade could not be completed", {{"win32_error", error}});
        return nullptr;
    }
    request.reset();
    channel->buffer.resize(kReceiveBufferBytes);
    return channel;
}

bool TLYWebSocket::StartLocked(std::shared_ptr<Channel> channel) {

    // Connected from here on. The state change is queued before the thread
    // exists, so an end it reports is delivered after it. "connected" is
    // logged by Connect once the thread runs and the change was reported.
    QueueStateChange(true);
    {
        tly::MutexLock lock(lastMessageLock);
        lastMessageCounter = tly::CurrentClock().PerformanceCounter();
    }
    connectionSerial.fetch_add(1);  // before `connected`: whoever then sees it set reads this serial or a later one
    connected.store(true);
    channel->running.store(true);
    // The receive thread holds this module for its life, so a thread that
    // an Ending had to leave behind never runs code of an unloaded module. Its
    // share of the connection's handles goes as its body ends.
    auto thread = std::make_unique<tly::ModuleThread>();
    const bool started = thread->Start([this, channel] {
        try {
            ReceiveLoop(*channel);
        } catch (...) {
            // ReceiveLoop reports its own failures; nothing may leave a thread.
        }
        // Done with the client: an Ending waiting from now on need not wait
        // for the exit itself, which takes the loader lock.
        channel->inClientCode.store(false);
    });
    if (!started) {
        const DWORD error = ::GetLastError();
        connected.store(false);
        RetractStateChange();
        Log(LogLevel::Error, "thread_start_failed", "Could not start the WebSocket receive thread",
            {{"win32_error", error}});
        return false;
    }
    channel_ = std::move(channel);
    receiveThread = std::move(thread);
    return true;
}

void TLYWebSocket::Close() { Shut().Finish(); }

TLYWebSocket::Ending TLYWebSocket::Shut() {
    tly::MutexLock lock(lifecycleMutex_);
    return ShutLocked();
}

TLYWebSocket::Ending TLYWebSocket::ShutLocked() {
    ++shuts_;
    Ending ending;
    ending.client_ = this;
    ending.channel_ = std::move(channel_);
    ending.thread_ = std::move(receiveThread);
    if (ending.channel_) {
        ending.channel_->running.store(false);
        // Our close frame (1000) goes out at once; a receive that is waiting
        // returns when the server answers it. Also answers a close frame the
        // server sent first.
        ::WinHttpWebSocketShutdown(ending.channel_->webSocketHandle.get(), kNormalClosure, nullptr, 0);
    }
    // Queued here, under the lock, so it comes before a later connection's
    // start; the receive thread of a shut connection reports no end.
    if (connected.exchange(false)) QueueStateChange(false);
    return ending;
}

TLYWebSocket::Ending::Ending(Ending&& other) noexcept
    : client_(std::exchange(other.client_, nullptr)),
      channel_(std::move(other.channel_)),
      thread_(std::move(other.thread_)) {}

TLYWebSocket::Ending& TLYWebSocket::Ending::operator=(Ending&& other) noexcept {
    if (this != &other) {
        Finish();
        client_ = std::exchange(other.client_, nullptr);
        channel_ = std::move(other.channel_);
        thread_ = std::move(other.thread_);
    }
    return *this;
}

void TLYWebSocket::Ending::Finish() noexcept {
    TLYWebSocket* client = std::exchange(client_, nullptr);
    if (!client) return;
    // A call-back that closes its own channel must not wait for itself.
    if (channel_ && thread_ && !thread_->IsCurrentThread()) {
        // While the thread runs code of the client (a call-back) the wait
        // lasts. While it waits in the platform's receive, which a server
        // that never answers the close leaves blocked for ever (no handle
        // close wakes it under Wine), the wait gives up after about two
        // seconds: the thread then finds running cleared whenever its
        // receive returns, touches nothing of the client, closes the
        // connection's handles it shares, and keeps the module loaded.
        for (int slice = 0;; ++slice) {
            if (thread_->Join(100)) break;
            if (slice >= kCloseWaitSlices && !channel_->inClientCode.load()) break;
        }
    }
    // The connection's handles close here unless a thread left behind still shares them.
    channel_.reset();
    thread_.reset();
    client->DeliverStateChanges();
}

// One pass per result of the platform's receive. A pass that throws (memory
// running out while a message is assembled, say) is logged and the loop goes
// on with the next receive, which is its wait: the message under way is
// dropped, the rest of its fragments included, and the channel stays up. A
// result that ends the connection ends the loop, and the end is reported
// (the state set down first), whatever the pass or the report throws: a
// channel whose thread has ended is always down, so the health tick makes it
// again.
void TLYWebSocket::ReceiveLoop(Channel& channel) {
    std::string message;
    std::size_t messageBytes = 0;
    bool droppingMessage = false;  // a pass failed within a message: its remaining fragments are skipped
    bool failing = false;          // since a failed pass; the next pass that succeeds ends the repeat run
    // Runs one step, catching and logging whatever it throws; false when it threw.
    const auto guarded = [](const auto& step) noexcept {
        try {
            step();
            return true;
        } catch (const std::exception& e) {
            ReportReceivePassFailed(e.what());
        } catch (...) {
            ReportReceivePassFailed("unknown exception (not a std::exception)");
        }
        return false;
    };
    while (channel.running.load()) {
        DWORD bytesRead = 0;
        WINHTTP_WEB_SOCKET_BUFFER_TYPE bufferType{};
        const DWORD error = ::WinHttpWebSocketReceive(channel.webSocketHandle.get(), channel.buffer.data(),
                                                      static_cast<DWORD>(channel.buffer.size()), &bytesRead,
                                                      &bufferType);
        // Announce client code before testing running; Shut clears running
        // before its Ending reads inClientCode, so one of the two sees the other.
        channel.inClientCode.store(true);
        if (!channel.running.load()) return;
        const bool fragment = error == NO_ERROR && bufferType == WINHTTP_WEB_SOCKET_UTF8_FRAGMENT_BUFFER_TYPE;
        if (droppingMessage && error == NO_ERROR &&
            (fragment || bufferType == WINHTTP_WEB_SOCKET_UTF8_MESSAGE_BUFFER_TYPE)) {
            droppingMessage = fragment;  // the message's last part ends the dropping
            channel.inClientCode.store(false);
            continue;
        }
        bool ended = error != NO_ERROR || bufferType == WINHTTP_WEB_SOCKET_CLOSE_BUFFER_TYPE;
        const bool passed = guarded([&] {
            if (void (*hook)() = receivePassHook_.load()) hook();  // tests only: may throw
            if (!ProcessReceived(channel, error, bytesRead, static_cast<int>(bufferType), message, messageBytes)) {
                ended = true;
            }
        });
        if (ended) {
            guarded([&] { ReportConnectionEnded(channel); });
            return;
        }
        if (!passed) {
            failing = true;
            std::string().swap(message);
            messageBytes = 0;
            droppingMessage = fragment;
        } else if (failing) {
            failing = false;
            tly::EndRepeatedFailures(kReceivePassFailedKey);
        }
        channel.inClientCode.store(false);
    }
}

// One result of WinHttpWebSocketReceive. False when the connection has ended.
bool TLYWebSocket::ProcessReceived(Channel& channel, DWORD error, DWORD bytesRead, int bufferType,
                                   std::string& message, std::size_t& messageBytes) {
    if (error != NO_ERROR) {
        // 12030 on Windows; 12152, 10054 or 10060 under Wine: the channel is down.
        Log(LogLevel::Warn, "receive_failed", "WebSocket receive failed", {{"win32_error", error}});
        return false;
    }
    switch (bufferType) {
    case WINHTTP_WEB_SOCKET_CLOSE_BUFFER_TYPE:
        Log(LogLevel::Info, "server_closed", "Server closed the WebSocket connection");
        return false;
    case WINHTTP_WEB_SOCKET_UTF8_FRAGMENT_BUFFER_TYPE:
    case WINHTTP_WEB_SOCKET_UTF8_MESSAGE_BUFFER_TYPE: {
        messageBytes += bytesRead;
        if (messageBytes <= kMaxMessageBytes) {
            message.append(channel.buffer.data(), bytesRead);
        } else if (!message.empty()) {
            std::string().swap(message);  // the rest of this message is counted, not kept
        }
        if (bufferType == WINHTTP_WEB_SOCKET_UTF8_FRAGMENT_BUFFER_TYPE) return true;

        {
            tly::MutexLock lock(lastMessageLock);
            lastMessageCounter = tly::CurrentClock().PerformanceCounter();
        }
        std::string complete;
        complete.swap(message);
        const std::size_t completeBytes = messageBytes;
        messageBytes = 0;
        if (completeBytes > kMaxMessageBytes) {
            Log(LogLevel::Warn, "message_too_large", "WebSocket message exceeds the size limit and was dropped",
                {{"size", completeBytes}, {"limit", kMaxMessageBytes}});
        } else if (!complete.empty() && onMessage) {
            try {
                onMessage(complete);
            } catch (const std::exception& e) {
                Log(LogLevel::Error, "message_callback_failed", "WebSocket message call-back failed",
                    {{"exception", e.what()}});
            } catch (...) {
                Log(LogLevel::Error, "message_callback_failed", "WebSocket message call-back failed");
            }
        }
        return true;
    }
    default:
        return true;  // binary messages and fragments are not part of the protocol: ignored
    }
}

// The receive thread's own end of its connection, unless Shut ended it first
// (which reported it then). Only the current connection's end changes the
// state: a thread that an Ending left behind reports nothing.
void TLYWebSocket::ReportConnectionEnded(const Channel& channel) {
    {
        tly::MutexLock lock(lifecycleMutex_);
        if (channel_.get() != &channel || !connected.exchange(false)) return;
        QueueStateChange(false);
    }
    DeliverStateChanges();
}

double TLYWebSocket::SecondsSinceLastMessage() const {
    const std::int64_t now = tly::CurrentClock().PerformanceCounter();
    std::int64_t last = 0;
    {
        tly::MutexLock lock(lastMessageLock);
        last = lastMessageCounter;
    }
    if (last == 0 || counterFrequency <= 0) return kNeverSeconds;
    return static_cast<double>(now - last) / static_cast<double>(counterFrequency);
}

void TLYWebSocket::QueueStateChange(bool isConnected) {
    tly::MutexLock lock(stateQueueMutex_);
    pendingStates_.push_back(isConnected);
}

// Changes are queued only under lifecycleMutex_ (a receive thread's end
// included), so the last change queued is the one Connect just added.
void TLYWebSocket::RetractStateChange() {
    tly::MutexLock lock(stateQueueMutex_);
    if (!pendingStates_.empty()) pendingStates_.pop_back();
}

void TLYWebSocket::DeliverStateChanges() {
    {
        tly::MutexLock lock(stateQueueMutex_);
        if (delivering_) return;  // the thread delivering now takes ours too, in order
        delivering_ = true;
    }
    for (;;) {
        bool state = false;
        {
            tly::MutexLock lock(stateQueueMutex_);
            if (pendingStates_.empty()) {
                delivering_ = false;
                return;
            }
            state = pendingStates_.front();
            pendingStates_.pop_front();
        }
        if (!onStateChanged) continue;
        try {
            onStateChanged(state);
        } catch (...) {
            // a failing call-back changes nothing here
        }
    }
}
