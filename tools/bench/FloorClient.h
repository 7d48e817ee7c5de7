#pragma once
// The transport floor: the requests the translator makes, and nothing else.
// One WinHTTP session and connection, so the REST requests share one
// keep-alive TLS connection as the translator's do; no certificate check, no
// logging, and no JSON parser: a batch is only scanned for the ids to mark.

#include "transport/InternetHandles.h"

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

class FloorClient {
public:
    bool Connect(const std::string& host, std::uint16_t port);
    bool Authenticate(const std::string& clientId, const std::string& clientSecret);
    // GET or POST under "/api/corvanta"; false unless the answer is 200.
    bool Get(const std::string& endpoint, std::string& body);
    bool Post(const std::string& endpoint, std::string& body);

    // The event channel, on a session of its own as the translator's is.
    bool OpenEvents();
    // Blocks until a whole text message arrives; false when the channel ended.
    bool ReceiveEvent(std::string& message);

    // Fetches and marks batches of the panel until none remain; returns the
    // number of activities marked, or -1 when a request failed.
    std::int64_t Drain(std::int32_t panel);

private:
    bool Send(const wchar_t* verb, const std::string& path, const std::string& payload, std::string& body);

    std::string host_;
    std::uint16_t port_ = 0;
    std::string token_;
    std::wstring authorization_;
    tly::UniqueInternet session_;
    tly::UniqueInternet connection_;
    tly::UniqueInternet eventSession_;
    tly::UniqueInternet eventConnection_;
    tly::UniqueInternet events_;
};

// The "adm_id" values of a batch answer, in order, and its "remaining_count".
std::vector<std::int64_t> ScanBatch(const std::string& batch, std::int64_t& remaining);

// "1,2,3".
std::string JoinIds(const std::vector<std::int64_t>& ids);

}  // namespace bench
