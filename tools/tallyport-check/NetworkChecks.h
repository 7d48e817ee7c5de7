#pragma once
// The steps below TLS: the server's name resolves on this machine, and one of
// its addresses accepts a TCP connection on the port. What WinHTTP reports as
// one "cannot connect" is told apart here.

#include "tools/tallyport-check/CheckReport.h"

#include <cstdint>
#include <string>
#include <vector>

// Holds Winsock for the check's lifetime.
class WinsockSession {
public:
    WinsockSession();
    ~WinsockSession();
    WinsockSession(const WinsockSession&) = delete;
    WinsockSession& operator=(const WinsockSession&) = delete;
    bool Started() const { return started_; }

private:
    bool started_ = false;
};

StepResult CheckNameResolves(const std::string& host, std::uint16_t port, std::vector<std::string>& addresses);
StepResult CheckTcpConnects(const std::string& host, std::uint16_t port);
