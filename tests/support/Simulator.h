#pragma once
// A private Tallyport server simulator for one test: started in the
// constructor on free loopback ports, driven over its control port, shut down
// in the destructor. Each test gets its own, so tests stay independent.

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

namespace tly::test {

// Calls to a simulator's control port, wherever it was started: a bench child
// process reaches the simulator its parent started.
class SimulatorControl {
public:
    explicit SimulatorControl(std::uint16_t controlPort) : controlPort_(controlPort) {}
    std::uint16_t Port() const { return controlPort_; }

    // One control call; body null sends none. Throws on an answer of 400 or
    // more unless status is given, which then receives the HTTP status.
    nlohmann::json Call(const std::string& method, const std::string& path, const nlohmann::json& body = nullptr,
                        int* status = nullptr) const;

private:
    std::uint16_t controlPort_;
};

class Simulator {
public:
    // Throws std::runtime_error when the simulator does not come up. It ends
    // itself after maxLifetimeSeconds, so a test that dies leaves none behind.
    explicit Simulator(std::uint32_t maxLifetimeSeconds = 600);
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    static constexpr char kHost[] = "127.0.0.1";
    std::uint16_t Port() const { return port_; }
    std::uint16_t ControlPort() const { return controlPort_; }
    const std::string& ClientId() const { return clientId_; }
    const std::string& ClientSecret() const { return clientSecret_; }
    // Thumbprints of the two certificates, lower-case as pins are held.
    const std::string& Thumbprint() const { return thumbprint_; }
    const std::string& AlternateThumbprint() const { return alternateThumbprint_; }

    // One control call, as SimulatorControl::Call makes it.
    nlohmann::json Call(const std::string& method, const std::string& path,
                        const nlohmann::json& body = nullptr, int* status = nullptr);

    // The requests received on a path (without query), oldest first.
    nlohmann::json Requests(const std::string& path);
    // Waits until count requests on the path have arrived (or fails the test).
    nlohmann::json WaitForRequests(const std::string& path, int count, int timeoutMs = 10000);
    // Arms a fault: {"path": path} merged with the given members.
    void AddFault(const std::string& path, nlohmann::json fault);
    // Which certificate new TLS handshakes get: "primary" or "alternate".
    void UseCertificate(const std::string& which);

private:
    std::string stateDirectory_;  // Windows form (Z:\tmp\...)
    std::uint16_t port_ = 0;
    std::uint16_t controlPort_ = 0;
    std::string clientId_;
    std::string clientSecret_;
    std::string thumbprint_;
    std::string alternateThumbprint_;
};

}  // namespace tly::test
