#include "tests/support/Simulator.h"

#include "platform/TextConversion.h"
#include "platform/UniqueResource.h"
#include "tests/support/TempModuleDirectory.h"
#include "transport/InternetHandles.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <stdexcept>

namespace tly::test {
namespace {

constexpr ULONGLONG kStartTimeoutMs = 30000;
constexpr ULONGLONG kExitTimeoutMs = 5000;

std::string Environment(const char* name) {
    char value[1024] = {};
    const DWORD length = ::GetEnvironmentVariableA(name, value, sizeof(value));
    return length > 0 && length < sizeof(value) ? std::string(value, length) : std::string();
}

// Wine maps the Unix root to drive Z.
std::string WindowsPath(std::string unixPath) {
    std::replace(unixPath.begin(), unixPath.end(), '/', '\\');
    return "Z:" + unixPath;
}

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// Waits until ready(directory) holds, re-testing whenever a file in the
// directory changes, or until the time-out.
template <typename Ready>
bool WaitInDirectory(const std::string& directory, ULONGLONG timeoutMs, Ready ready) {
    UniqueChangeNotification change(::FindFirstChangeNotificationA(
        directory.c_str(), FALSE, FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE));
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    for (;;) {
        if (ready()) return true;
        const ULONGLONG now = ::GetTickCount64();
        if (now >= deadline) return false;
        // Without a notification handle, fall back to short waits.
        const DWORD slice = static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, change ? 1000 : 20));
        if (change) {
            ::WaitForSingleObject(change.get(), slice);
            ::FindNextChangeNotification(change.get());
        } else {
            ::Sleep(slice);
        }
    }
}

}  // namespace

Simulator::Simulator(std::uint32_t maxLifetimeSeconds) {
    const std::string sourceDirectory = Environment("TLY_SOURCE_DIR");
    if (sourceDirectory.empty()) throw std::runtime_error("TLY_SOURCE_DIR is not set");
    const std::string buildDirectory = Environment("TLY_BUILD_DIR");

    static std::atomic<unsigned> sequence{0};
    const std::string unixState = "/tmp/tly-sim-" + std::to_string(::GetCurrentProcessId()) + "-" +
                                  std::to_string(::GetTickCount()) + "-" + std::to_string(sequence++);
    stateDirectory_ = WindowsPath(unixState);
    if (!::CreateDirectoryA(stateDirectory_.c_str(), nullptr)) {
        throw std::runtime_error("cannot create " + stateDirectory_);
    }

    // A Linux program started from Wine: fire and forget (the handle cannot be
    // waited on), plain arguments without spaces.
    std::string commandLine = "/bin/sh " + sourceDirectory + "/tests/support/run-simulator.sh " + sourceDirectory +
                              " " + unixState;
    commandLine += " " + (buildDirectory.empty() ? std::string("-") : buildDirectory + "/sim-certs");
    commandLine += " " + std::to_string(maxLifetimeSeconds);
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!::CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                          &process)) {
        throw std::runtime_error("cannot start the simulator: error " + std::to_string(::GetLastError()));
    }
    UniqueHandle processHandle(process.hProcess);
    UniqueHandle threadHandle(process.hThread);

    const std::string readyFile = stateDirectory_ + "\\ready.json";
    nlohmann::json ready;
    const bool up = WaitInDirectory(stateDirectory_, kStartTimeoutMs, [&] {
        if (!FileExists(readyFile)) return false;
        ready = nlohmann::json::parse(ReadFileBytes(readyFile), nullptr, false);
        return ready.is_object();
    });
    if (!up) {
        throw std::runtime_error("the simulator did not come up; see " + stateDirectory_ + "\\simulator.log");
    }
    port_ = ready.at("port").get<std::uint16_t>();
    controlPort_ = ready.at("control_port").get<std::uint16_t>();
    clientId_ = ready.at("client_id").get<std::string>();
    clientSecret_ = ready.at("client_secret").get<std::string>();
    thumbprint_ = Lower(ready.at("cert_sha1").get<std::string>());
    alternateThumbprint_ = Lower(ready.at("alt_cert_sha1").get<std::string>());
}

Simulator::~Simulator() {
    int status = 0;
    try {
        Call("POST", "/shutdown", nullptr, &status);
    } catch (...) {
    }
    // The simulator removes its ready file as it exits.
    const std::string readyFile = stateDirectory_ + "\\ready.json";
    WaitInDirectory(stateDirectory_, kExitTimeoutMs, [&] { return !FileExists(readyFile); });
    RemoveDirectoryTree(stateDirectory_);
}

nlohmann::json Simulator::Call(const std::string& method, const std::string& path, const nlohmann::json& body,
                               int* status) {
    return SimulatorControl(controlPort_).Call(method, path, body, status);
}

nlohmann::json SimulatorControl::Call(const std::string& method, const std::string& path, const nlohmann::json& body,
                                      int* status) const {
    UniqueInternet session(::WinHttpOpen(L"tly-test-control", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                         WINHTTP_NO_PROXY_BYPASS, 0));
    UniqueInternet connection(session ? ::WinHttpConnect(session.get(), L"127.0.0.1", controlPort_, 0) : nullptr);
    const std::wstring widePath = Utf8ToWide(path);
    const std::wstring wideMethod = Utf8ToWide(method);
    UniqueInternet request(connection ? ::WinHttpOpenRequest(connection.get(), wideMethod.c_str(), widePath.c_str(),
                                                             nullptr, WINHTTP_NO_REFERER,
                                                             WINHTTP_DEFAULT_ACCEPT_TYPES, 0)
                                      : nullptr);
    if (!request) throw std::runtime_error("control request " + path + " cannot be opened");
    DWORD timeout = 60000;
    ::WinHttpSetOption(request.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &timeout, sizeof(timeout));

    std::string payload = body.is_null() ? std::string() : body.dump();
    const wchar_t* headers = payload.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : L"Content-Type: application/json";
    if (!::WinHttpSendRequest(request.get(), headers, payload.empty() ? 0 : static_cast<DWORD>(-1),
                              payload.empty() ? WINHTTP_NO_REQUEST_DATA : payload.data(),
                              static_cast<DWORD>(payload.size()), static_cast<DWORD>(payload.size()), 0) ||
        !::WinHttpReceiveResponse(request.get(), nullptr)) {
        throw std::runtime_error("control request " + path + " failed: error " + std::to_string(::GetLastError()));
    }
    DWORD code = 0;
    DWORD size = sizeof(code);
    ::WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                          WINHTTP_HEADER_NAME_BY_INDEX, &code, &size, WINHTTP_NO_HEADER_INDEX);
    std::string answer;
    for (;;) {
        DWORD available = 0;
        if (!::WinHttpQueryDataAvailable(request.get(), &available) || available == 0) break;
        std::string chunk(available, '\0');
        DWORD read = 0;
        if (!::WinHttpReadData(request.get(), chunk.data(), available, &read)) break;
        answer.append(chunk.data(), read);
    }
    if (status) {
        *status = static_cast<int>(code);
    } else if (code >= 400) {
        throw std::runtime_error("control " + method + " " + path + " answered " + std::to_string(code) + ": " +
                                 answer);
    }
    nlohmann::json parsed = nlohmann::json::parse(answer, nullptr, false);
    return parsed.is_discarded() ? nlohmann::json() : parsed;
}

nlohmann::json Simulator::Requests(const std::string& path) {
    return Call("POST", "/action", {{"action", "get_requests"}, {"path", path}}).at("requests");
}

nlohmann::json Simulator::WaitForRequests(const std::string& path, int count, int timeoutMs) {
    int status = 0;
    nlohmann::json answer =
        Call("POST", "/wait/requests", {{"path", path}, {"count", count}, {"timeout_ms", timeoutMs}}, &status);
    EXPECT_EQ(status, 200) << "fewer than " << count << " requests on " << path;
    return answer.value("requests", nlohmann::json::array());
}

void Simulator::AddFault(const std::string& path, nlohmann::json fault) {
    fault["path"] = path;
    Call("POST", "/faults", fault);
}

void Simulator::UseCertificate(const std::string& which) { Call("POST", "/cert", {{"use", which}}); }

}  // namespace tly::test
