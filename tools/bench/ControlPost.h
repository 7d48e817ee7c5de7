#pragma once
// A control call to the simulator sent in a single write over a fresh loopback
// socket with Nagle's algorithm off. WinHTTP sends a POST's headers and body as
// two writes, and the second then waits for the server's delayed
// acknowledgement (about 40 ms); a latency measure that starts at the control
// call would mostly measure that wait.

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

namespace bench {

// POSTs body to path on 127.0.0.1:port and reads the answer to its end;
// throws unless the answer is 200.
void ControlPost(std::uint16_t port, const std::string& path, const nlohmann::json& body);

}  // namespace bench
