#include "tools/bench/FloorClient.h"

#include "platform/TextConversion.h"
#include "transport/RequestLimits.h"
#include "transport/WinHttpSupport.h"

#include <nlohmann/json.hpp>

#include <cstdlib>

namespace bench {
namespace {

constexpr wchar_t kUserAgent[] = L"tly-bench-floor";
constexpr DWORD kResponseTimeoutMs = 30000;

std::int64_t NumberAfter(const std::string& text, const char* key, size_t from, size_t& end) {
    const size_t at = text.find(key, from);
    if (at == std::string::npos) {
        end = std::string::npos;
        return 0;
    }
    const char* start = text.c_str() + at + std::char_traits<char>::length(key);
    char* stop = nullptr;
    const long long value = std::strtoll(start, &stop, 10);
    end = static_cast<size_t>(stop - text.c_str());
    return value;
}

}  // namespace

bool FloorClient::Connect(const std::string& host, std::uint16_t port) {
    host_ = host;
    port_ = port;
    session_.reset(::WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                 WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session_) return false;
    connection_.reset(::WinHttpConnect(session_.get(), tly::Utf8ToWide(host).c_str(), port, 0));
    return connection_.valid();
}

bool FloorClient::Authenticate(const std::string& clientId, const std::string& clientSecret) {
    const std::string payload = nlohmann::json{{"grant_type", "client_credentials"},
                                               {"client_id", clientId},
                                               {"client_secret", clientSecret}}
                                    .dump();
    std::string body;
    if (!Send(L"POST", "/auth/token", payload, body)) return false;
    const nlohmann::json answer = nlohmann::json::parse(body, nullptr, false);
    if (!answer.is_object() || !answer.contains("access_token")) return false;
    token_ = answer["access_token"].get<std::string>();
    authorization_ = L"Authorization: Bearer " + tly::Utf8ToWide(token_);
    return true;
}

bool FloorClient::Get(const std::string& endpoint, std::string& body) {
    return Send(L"GET", "/api/corvanta" + endpoint, {}, body);
}

bool FloorClient::Post(const std::string& endpoint, std::string& body) {
    return Send(L"POST", "/api/corvanta" + endpoint, {}, body);
}

bool FloorClient::Send(const wchar_t* verb, const std::string& path, const std::string& payload, std::string& body) {
    tly::UniqueInternet request(::WinHttpOpenRequest(connection_.get(), verb, tly::Utf8ToWide(path).c_str(), nullptr,
                                                     WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                     WINHTTP_FLAG_SECURE));
    if (!request) return false;
    tly::IgnoreCertificateErrors(request.get());
    tly::SetResponseTimeout(request.get(), kResponseTimeoutMs);
    if (!authorization_.empty()) {
        ::WinHttpAddRequestHeaders(request.get(), authorization_.c_str(), static_cast<DWORD>(-1),
                                   WINHTTP_ADDREQ_FLAG_ADD);
    }
    const wchar_t* headers = payload.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : L"Content-Type: application/json";
    void* data = payload.empty() ? WINHTTP_NO_REQUEST_DATA : const_cast<char*>(payload.data());
    const auto length = static_cast<DWORD>(payload.size());
    if (!::WinHttpSendRequest(request.get(), headers, payload.empty() ? 0 : static_cast<DWORD>(-1), data, length,
                              length, 0) ||
        !::WinHttpReceiveResponse(request.get(), nullptr)) {
        return false;
    }
    // The bench's own client: the product's caps, and its time-out per answer.
    const tly::BodyLimits limits{tly::kPendingBatchCapBytes, ::GetTickCount64() + kResponseTimeoutMs, nullptr};
    return tly::QueryStatusCode(request.get()) == 200 &&
           tly::ReadResponseBody(request.get(), body, limits).end == tly::BodyEnd::Complete;
}

bool FloorClient::OpenEvents() {
    eventSession_.reset(::WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                      WINHTTP_NO_PROXY_BYPASS, 0));
    if (!eventSession_) return false;
    eventConnection_.reset(::WinHttpConnect(eventSession_.get(), tly::Utf8ToWide(host_).c_str(), port_, 0));
    if (!eventConnection_) return false;
    const std::wstring path = tly::Utf8ToWide("/api/corvanta/events?access_token=" + token_);
    tly::UniqueInternet request(::WinHttpOpenRequest(eventConnection_.get(), L"GET", path.c_str(), nullptr,
                                                     WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                     WINHTTP_FLAG_SECURE));
    if (!request) return false;
    tly::IgnoreCertificateErrors(request.get());
    tly::SetResponseTimeout(request.get(), kResponseTimeoutMs);
    if (!::WinHttpSetOption(request.get(), WINHTTP_OPTION_UPGRADE_TO_WEB_SOCKET, nullptr, 0) ||
        !::WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !::WinHttpReceiveResponse(request.get(), nullptr) || tly::QueryStatusCode(request.get()) != 101) {
        return false;
    }
    events_.reset(::WinHttpWebSocketCompleteUpgrade(request.get(), 0));
    return events_.valid();
}

bool FloorClient::ReceiveEvent(std::string& message) {
    message.clear();
    char buffer[4096];
    for (;;) {
        DWORD read = 0;
        WINHTTP_WEB_SOCKET_BUFFER_TYPE type{};
        if (::WinHttpWebSocketReceive(events_.get(), buffer, sizeof buffer, &read, &type) != NO_ERROR) return false;
        if (type == WINHTTP_WEB_SOCKET_CLOSE_BUFFER_TYPE) return false;
        message.append(buffer, read);
        if (type == WINHTTP_WEB_SOCKET_UTF8_MESSAGE_BUFFER_TYPE) return true;
        if (type == WINHTTP_WEB_SOCKET_BINARY_MESSAGE_BUFFER_TYPE) message.clear();
    }
}

std::int64_t FloorClient::Drain(std::int32_t panel) {
    const std::string endpoint = "/pending_activities/" + std::to_string(panel);
    std::int64_t marked = 0;
    for (;;) {
        std::string batch;
        if (!Get(endpoint, batch)) return -1;
        std::int64_t remaining = 0;
        const std::vector<std::int64_t> ids = ScanBatch(batch, remaining);
        if (ids.empty()) return marked;
        std::string answer;
        if (!Post("/activities/batch_processed?ids=" + JoinIds(ids), answer)) return -1;
        marked += static_cast<std::int64_t>(ids.size());
        if (remaining <= 0) return marked;
    }
}

std::vector<std::int64_t> ScanBatch(const std::string& batch, std::int64_t& remaining) {
    std::vector<std::int64_t> ids;
    size_t at = 0;
    for (;;) {
        const std::int64_t id = NumberAfter(batch, "\"adm_id\":", at, at);
        if (at == std::string::npos) break;
        ids.push_back(id);
    }
    size_t end = 0;
    remaining = NumberAfter(batch, "\"remaining_count\":", 0, end);
    return ids;
}

std::string JoinIds(const std::vector<std::int64_t>& ids) {
    std::string joined;
    for (const std::int64_t id : ids) {
        if (!joined.empty()) joined += ",";
        joined += std::to_string(id);
    }
    return joined;
}

}  // namespace bench
