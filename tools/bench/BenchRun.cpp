#include "tools/bench/BenchRun.h"

#include "platform/UniqueResource.h"
#include "tests/support/TempModuleDirectory.h"

#include <windows.h>

#include <stdexcept>

namespace bench {
namespace {

constexpr DWORD kChildTimeoutMs = 10 * 60 * 1000;

std::string ThisProgram() {
    char path[MAX_PATH] = {};
    ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    return path;
}

}  // namespace

BenchRun::BenchRun(BenchOptions options, tly::test::Simulator& simulator)
    : options_(std::move(options)), simulator_(simulator) {
    access_.host = tly::test::Simulator::kHost;
    access_.port = simulator.Port();
    access_.controlPort = simulator.ControlPort();
    access_.clientId = simulator.ClientId();
    access_.clientSecret = simulator.ClientSecret();
    access_.thumbprint = simulator.Thumbprint();
}

nlohmann::json BenchRun::RunChild(const std::string& kind, nlohmann::json params) {
    // Numbered across the whole bench, which makes a run per section.
    static int childCount = 0;
    const std::string name = std::to_string(++childCount) + "-" + kind;
    const std::string directory = options_.workDirectory + "\\" + name;
    ::CreateDirectoryA(directory.c_str(), nullptr);
    params["sim"] = ToJson(access_);
    params["dll"] = options_.dllPath;
    params["module_dir"] = directory + "\\module";
    const std::string paramsFile = directory + "\\params.json";
    const std::string resultFile = directory + "\\result.json";
    tly::test::WriteFileBytes(paramsFile, params.dump(2));

    std::string commandLine = "\"" + ThisProgram() + "\" --child " + kind + " \"" + paramsFile + "\" \"" +
                              resultFile + "\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!::CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                          &process)) {
        throw std::runtime_error("cannot start child " + kind + ": error " + std::to_string(::GetLastError()));
    }
    tly::UniqueHandle processHandle(process.hProcess);
    tly::UniqueHandle threadHandle(process.hThread);
    // A child that measures for a given time (the large site's steady state)
    // gets that time on top.
    DWORD timeoutMs = kChildTimeoutMs;
    for (const char* measured : {"seconds", "warmup_seconds"}) {
        if (params.contains(measured)) timeoutMs += static_cast<DWORD>(params[measured].get<int>()) * 1000;
    }
    if (::WaitForSingleObject(processHandle.get(), timeoutMs) != WAIT_OBJECT_0) {
        ::TerminateProcess(processHandle.get(), 1);
        throw std::runtime_error("child " + kind + " did not finish in time");
    }
    nlohmann::json result = nlohmann::json::parse(tly::test::ReadFileBytes(resultFile), nullptr, false);
    if (!result.is_object()) throw std::runtime_error("child " + kind + " left no result in " + resultFile);
    if (result.contains("error")) {
        throw std::runtime_error("child " + kind + " failed: " + result["error"].get<std::string>());
    }
    return result;
}

}  // namespace bench
