#include "tools/tallyport-check/NetworkChecks.h"

#include "platform/UniqueResource.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <memory>

namespace {

constexpr long kConnectTimeoutSeconds = 10;  // as long as the translator's own connect time-out

struct AddressListDeleter {
    void operator()(addrinfo* list) const noexcept { ::freeaddrinfo(list); }
};
using AddressList = std::unique_ptr<addrinfo, AddressListDeleter>;

struct SocketTraits {
    using Type = SOCKET;
    static Type Invalid() noexcept { return INVALID_SOCKET; }
    static void Close(Type s) noexcept { ::closesocket(s); }
};
using UniqueSocket = tly::UniqueResource<SocketTraits>;

AddressList Resolve(const std::string& host, std::uint16_t port, int& error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* list = nullptr;
    error = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list);
    return AddressList(error == 0 ? list : nullptr);
}

std::string AddressText(const addrinfo& address) {
    char text[INET6_ADDRSTRLEN] = {};
    const void* raw = address.ai_family == AF_INET6
                          ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in6*>(address.ai_addr)->sin6_addr)
                          : static_cast<const void*>(&reinterpret_cast<const sockaddr_in*>(address.ai_addr)->sin_addr);
    return ::inet_ntop(address.ai_family, raw, text, sizeof text) ? text : "?";
}

// 0 when the address accepts a connection within the time-out, else the error.
int ConnectOnce(const addrinfo& address) {
    const UniqueSocket s(::socket(address.ai_family, address.ai_socktype, address.ai_protocol));
    if (!s) return ::WSAGetLastError();
    u_long nonBlocking = 1;
    ::ioctlsocket(s.get(), FIONBIO, &nonBlocking);
    if (::connect(s.get(), address.ai_addr, static_cast<int>(address.ai_addrlen)) == 0) return 0;
    const int started = ::WSAGetLastError();
    if (started != WSAEWOULDBLOCK) return started;

    fd_set writable;
    fd_set failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(s.get(), &writable);
    FD_SET(s.get(), &failed);
    timeval timeout{kConnectTimeoutSeconds, 0};
    const int ready = ::select(0, nullptr, &writable, &failed, &timeout);
    if (ready == 0) return WSAETIMEDOUT;
    if (ready == SOCKET_ERROR) return ::WSAGetLastError();
    int error = 0;
    int size = sizeof error;
    ::getsockopt(s.get(), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size);
    return FD_ISSET(s.get(), &failed) && error == 0 ? WSAECONNREFUSED : error;
}

std::string ConnectErrorText(int error) {
    switch (error) {
        case WSAECONNREFUSED: return "refused";
        case WSAETIMEDOUT: return "timed out";
        case WSAENETUNREACH:
        case WSAEHOSTUNREACH: return "no route";
        default: return "failed";
    }
}

}  // namespace

WinsockSession::WinsockSession() {
    WSADATA data{};
    started_ = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

WinsockSession::~WinsockSession() {
    if (started_) ::WSACleanup();
}

StepResult CheckNameResolves(const std::string& host, std::uint16_t port, std::vector<std::string>& addresses) {
    constexpr char kStep[] = "resolve";
    int error = 0;
    const AddressList list = Resolve(host, port, error);
    if (!list) {
        StepResult result = StepResult::Failed(
            kStep, "name_unresolved", host + " does not resolve on this machine (error=" + std::to_string(error) + ")",
            "check \"server\".\"hostname\", this machine's DNS servers and its hosts file");
        result.data = {{"hostname", host}, {"error", error}};
        return result;
    }
    for (const addrinfo* a = list.get(); a; a = a->ai_next) addresses.push_back(AddressText(*a));
    std::string joined;
    for (const std::string& address : addresses) joined += (joined.empty() ? "" : ", ") + address;
    StepResult result = StepResult::Passed(kStep, host + " resolves to " + joined);
    result.data = {{"hostname", host}, {"addresses", addresses}};
    return result;
}

StepResult CheckTcpConnects(const std::string& host, std::uint16_t port) {
    constexpr char kStep[] = "connect";
    int error = 0;
    const AddressList list = Resolve(host, port, error);
    std::string tried;
    int lastError = error;
    for (const addrinfo* a = list.get(); a; a = a->ai_next) {
        const std::string address = AddressText(*a);
        lastError = ConnectOnce(*a);
        if (lastError == 0) {
            StepResult result = StepResult::Passed(kStep, address + " port " + std::to_string(port) + " accepts TCP connections");
            result.data = {{"address", address}, {"port", port}};
            return result;
        }
        tried += (tried.empty() ? "" : ", ") + address + " " + ConnectErrorText(lastError);
    }
    StepResult result = StepResult::Failed(
        kStep, "tcp_unreachable",
        "no TCP connection to port " + std::to_string(port) + " (" + tried + ", error=" + std::to_string(lastError) + ")",
        "check \"server\".\"port\", that the server runs, and that the firewalls between this machine and the "
        "server let the port through");
    result.data = {{"port", port}, {"error", lastError}};
    return result;
}
