#include "api/ServerConnection.h"

#include "api/ActivityCodes.h"
#include "logging/Log.h"
#include "platform/Clock.h"
#include "platform/JsonDocument.h"

#include <cstdio>

namespace {

constexpr std::uint32_t kHealthCheckIntervalMs = 30000;
constexpr double kChannelLivenessSeconds = 60.0;
constexpr std::int64_t kMostClockSkewSeconds = 120;

// "2024-03-05T14:07:09Z"
std::string UtcText(const SYSTEMTIME& time) {
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02uZ", time.wYear, time.wMonth, time.wDay, time.wHour,
                  time.wMinute, time.wSecond);
    return text;
}

}  // namespace

// The host stores the event times the server gives: a server whose clock is a
// day ahead dates every swipe tomorrow. Said once per connection, whichever
// panel's status request brought the first answer; the times delivered stay
// the server's.
void ServerConnection::CompareServerClock(const std::string& statusAnswer) {
    const std::uint64_t connection = closes_.load() + 1;  // 0: not compared yet
    std::uint64_t compared = clockComparedFor_.load();
    if (compared == connection || !clockComparedFor_.compare_exchange_strong(compared, connection)) return;
    const nlohmann::json answer = tly::ParseJsonOrDiscard(statusAnswer);
    if (!answer.is_object()) return;
    const auto member = answer.find("server_time");
    if (member == answer.end() || !member->is_string()) return;
    const std::string serverTime = member->get<std::string>();
    const std::string localTime = UtcText(tly::CurrentClock().UtcTime());
    const std::uint32_t server = ActivityEventTime(serverTime);
    const std::uint32_t local = ActivityEventTime(localTime);
    if (server == 0 || local == 0) return;
    const std::int64_t skew = static_cast<std::int64_t>(server) - static_cast<std::int64_t>(local);
    if (skew >= -kMostClockSkewSeconds && skew <= kMostClockSkewSeconds) return;
    LogApiEvent(LogLevel::Warn, "server.clock_skew",
                "The server's clock differs from this computer's by more than two minutes; event times reach the "
                "host as the server gives them",
                {{"server_time", serverTime}, {"local_time", localTime}, {"skew_seconds", skew}});
}

ServerConnection::ServerConnection(LastErrorText& lastError, std::function<void(const std::string&)> pinTaken,
                                   TLYWebSocket::MessageCallback onMessage,
                                   TLYWebSocket::StateCallback onStateChanged)
    : lastError_(lastError), pinTaken_(std::move(pinTaken)) {
    channel_.SetMessageCallback(std::move(onMessage));
    channel_.SetStateCallback(std::move(onStateChanged));
}

bool ServerConnection::Open(std::int32_t panelId, const TranslatorSettings& copy) {
    lastError_.Clear();
    LogApiEvent(LogLevel::Info, "connect.start", "Connecting panel to Tallyport",
                {{"panel_id", panelId}, {"hostname", copy.hostname}, {"port", copy.port}});
    std::uint64_t closesBefore = 0;
    {
        // Opening the session makes no request: it may go under the lock.
        tly::MutexLock serialised(lock_);
        closesBefore = closes_.load();
        if (!rest_.IsInitialized() &&
            !rest_.Initialize(copy.hostname, static_cast<std::uint16_t>(copy.port), copy.validate_cert)) {
            lastError_.Set("Failed to initialize REST client");
            LogApiEvent(LogLevel::Error, "connect.rest_init_failed", "Failed to initialize REST client",
                        {{"panel_id", panelId}});
            return false;
        }
    }

    if (rest_.AccessToken().empty()) {
        if (!rest_.Authenticate(copy.client_id, copy.client_secret)) {
            lastError_.Set("OAuth authentication failed");
            LogApiEvent(LogLevel::Error, "connect.auth_failed", "OAuth authentication failed",
                        {{"panel_id", panelId}, {"client_id", copy.client_id}});
            return false;
        }
        std::string pinned;
        if (rest_.TakeNewlyPinned(pinned)) pinTaken_(pinned);
    }

    std::string response;
    if (!rest_.GetWithRetry("/status", response)) {
        lastError_.Set("Health check failed: " + response);
        LogApiEvent(LogLevel::Error, "connect.health_failed", "Health check failed",
                    {{"panel_id", panelId}, {"response", response}});
        return false;
    }
    LogApiEvent(LogLevel::Debug, "connect.health_passed", "Health check passed",
                {{"panel_id", panelId}, {"response", response}});
    CompareServerClock(response);

    if (!channel_.IsConnected()) {
        if (channel_.Connect(copy.hostname, static_cast<std::uint16_t>(copy.port), rest_.AccessToken(),
                             copy.validate_cert, ChannelPin(copy), StillWanted(closesBefore))) {
            LogApiEvent(LogLevel::Info, "connect.websocket_connected", "WebSocket connected", {{"panel_id", panelId}});
        } else {
            LogApiEvent(LogLevel::Warn, "connect.websocket_failed",
                        "WebSocket connection failed; REST mode will continue without real-time events",
                        {{"panel_id", panelId}});
        }
    }
    return true;
}

// The channel is held to the pin the REST requests just passed: the one in
// force, or the one the token request took on first use. With validation on
// there is none.
std::string ServerConnection::ChannelPin(const TranslatorSettings& copy) const {
    return copy.validate_cert ? std::string() : rest_.PinnedThumbprint();
}

void ServerConnection::ReplacePin(const std::string& thumbprint) { rest_.SetPinnedThumbprint(thumbprint); }

std::function<bool()> ServerConnection::StillWanted(std::uint64_t closesBefore) const {
    return [this, closesBefore] { return closes_.load() == closesBefore; };
}

ServerConnection::Health ServerConnection::Check(const std::function<TranslatorSettings()>& currentSettings) {
    if (!rest_.IsInitialized()) return Health::Down;
    rest_.RefreshTokenIfDue();
    // The server refused the credentials (a secret rotated on the server):
    // nothing will work however alive the channel still is, so the link is
    // lost now, not when the channel falls silent. The reconnection brings it
    // back once a token is obtained.
    if (rest_.CredentialsRejected()) return Health::Down;

    if (channel_.IsConnected() && channel_.SecondsSinceLastMessage() <= kChannelLivenessSeconds) return Health::Up;

    std::uint64_t closesBefore = 0;
    {
        // One health check in 30 s whoever asks; the others read its answer.
        tly::MutexLock serialised(lock_);
        const std::uint32_t now = tly::CurrentClock().TickCount();
        if (now - healthTick_.lastCheckTick < kHealthCheckIntervalMs) {  // wrap-safe
            return healthTick_.lastResult ? Health::Up : Health::Down;
        }
        healthTick_.lastCheckTick = now;
        closesBefore = closes_.load();
    }
    std::string response;
    const bool healthy = rest_.GetWithRetry("/status", response);
    {
        tly::MutexLock serialised(lock_);
        healthTick_.lastResult = healthy;
    }
    if (!healthy) return Health::Down;
    CompareServerClock(response);

    std::string pinned;
    if (rest_.TakeNewlyPinned(pinned)) pinTaken_(pinned);
    if (channel_.IsConnected()) return Health::Up;

    LogApiEvent(LogLevel::Info, "websocket.reconnect_attempt",
                "REST healthy but WebSocket down, attempting WebSocket reconnect");
    const std::string token = rest_.AccessToken();
    const TranslatorSettings copy = currentSettings();
    if (token.empty()) return Health::Up;
    if (!channel_.Connect(copy.hostname, static_cast<std::uint16_t>(copy.port), token, copy.validate_cert,
                          ChannelPin(copy), StillWanted(closesBefore))) {
        return Health::Up;
    }
    LogApiEvent(LogLevel::Info, "websocket.reconnect_succeeded", "WebSocket reconnected, refreshing state");
    return Health::ChannelReopened;
}

// The channel is shut under the lock, so a connect that follows finds it
// closed; its receive thread is waited for once the lock is let go. Requests
// under way are not waited for: they stop at their next step.
void ServerConnection::Close() {
    TLYWebSocket::Ending ended;
    {
        tly::MutexLock serialised(lock_);
        closes_.fetch_add(1);  // before the shut: an upgrade finishing later sees it
        ended = channel_.Shut();
        rest_.Close();
    }
    ended.Finish();
}

bool ServerConnection::CloseUnlessInUse(const std::function<bool()>& inUse, const std::function<void()>& closeWithIt) {
    TLYWebSocket::Ending ended;
    {
        tly::MutexLock serialised(lock_);
        if (inUse()) return false;
        closes_.fetch_add(1);
        ended = channel_.Shut();
        rest_.Close();
        closeWithIt();
    }
    ended.Finish();
    return true;
}

void ServerConnection::SavePinIfTaken() {
    std::string pinned;
    if (rest_.TakeNewlyPinned(pinned)) pinTaken_(pinned);
}
