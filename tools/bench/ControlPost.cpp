#include "tools/bench/ControlPost.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <stdexcept>

namespace bench {
namespace {

class Winsock {
public:
    Winsock() {
        WSADATA data{};
        if (::WSAStartup(MAKEWORD(2, 2), &data) != 0) throw std::runtime_error("WSAStartup failed");
    }
    ~Winsock() { ::WSACleanup(); }
    Winsock(const Winsock&) = delete;
    Winsock& operator=(const Winsock&) = delete;
};

class Socket {
public:
    Socket() : socket_(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)) {
        if (socket_ == INVALID_SOCKET) throw std::runtime_error("socket failed");
    }
    ~Socket() { ::closesocket(socket_); }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    SOCKET get() const { return socket_; }

private:
    SOCKET socket_;
};

}  // namespace

void ControlPost(std::uint16_t port, const std::string& path, const nlohmann::json& body) {
    static const Winsock winsock;
    const Socket socket;
    const BOOL noDelay = TRUE;
    ::setsockopt(socket.get(), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof noDelay);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = ::htons(port);
    address.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
    if (::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        throw std::runtime_error("cannot reach the simulator's control port");
    }
    const std::string payload = body.dump();
    const std::string request = "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" +
                                "Content-Type: application/json\r\nContent-Length: " +
                                std::to_string(payload.size()) + "\r\n\r\n" + payload;
    if (::send(socket.get(), request.data(), static_cast<int>(request.size()), 0) !=
        static_cast<int>(request.size())) {
        throw std::runtime_error("control request not sent");
    }
    std::string answer;
    char buffer[4096];
    for (int got; (got = ::recv(socket.get(), buffer, sizeof buffer, 0)) > 0;) answer.append(buffer, got);
    if (answer.compare(0, 12, "HTTP/1.1 200") != 0) {
        throw std::runtime_error("control call " + path + " answered: " + answer.substr(0, answer.find('\r')));
    }
}

}  // namespace bench
