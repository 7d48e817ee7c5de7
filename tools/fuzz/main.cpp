// tly-fuzz: feeds reproducible mutations of each document the component reads to
// the component's own parser entry points, in one process, and reports
// crashes, hangs, exceptions that escape an entry point's failure path, and
// any id or value that comes out other than as sent. Exit code 0 when there
// was none of them, 1 otherwise, 2 for bad usage.
//
//   tly-fuzz.exe [--iterations N] [--run S] [--target NAME]

#include "logging/Log.h"
#include "tools/fuzz/Targets.h"

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <string>

namespace {

// What runs now, for the crash and hang reports.
std::atomic<const std::string*> g_currentInput{nullptr};
std::atomic<const char*> g_currentTarget{""};
std::atomic<std::size_t> g_currentIteration{0};
std::atomic<DWORD> g_inputStarted{0};

void SaveCurrentInput(const char* kind) {
    const std::string* input = g_currentInput.load();
    std::fprintf(stderr, "fuzz: %s in target %s at input %zu; input saved to fuzz-failing-input.bin\n", kind,
                 g_currentTarget.load(), g_currentIteration.load());
    if (input) {
        std::ofstream out("fuzz-failing-input.bin", std::ios::binary | std::ios::trunc);
        out.write(input->data(), static_cast<std::streamsize>(input->size()));
    }
    std::fflush(stderr);
}

LONG WINAPI OnCrash(EXCEPTION_POINTERS* info) {
    std::fprintf(stderr, "fuzz: crash 0x%08lX\n", info ? info->ExceptionRecord->ExceptionCode : 0UL);
    SaveCurrentInput("crash");
    ::ExitProcess(1);
}

DWORD WINAPI Watchdog(void*) {
    constexpr DWORD kMostMsPerInput = 20000;
    for (;;) {
        ::Sleep(1000);
        const DWORD started = g_inputStarted.load();
        if (started != 0 && ::GetTickCount() - started > kMostMsPerInput) {
            SaveCurrentInput("hang");
            ::ExitProcess(1);
        }
    }
}

std::string MakeWorkDirectory() {
    char temp[MAX_PATH] = {};
    ::GetTempPathA(MAX_PATH, temp);
    std::string dir = std::string(temp) + "tly-fuzz-" + std::to_string(::GetCurrentProcessId());
    ::CreateDirectoryA(dir.c_str(), nullptr);
    return dir;
}

int Usage() {
    std::fprintf(stderr, "usage: tly-fuzz.exe [--iterations N] [--run S] [--target NAME]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t iterations = 10000;
    std::uint32_t run = 1;
    std::string only;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) return Usage();
        const std::string value = argv[++i];
        if (arg == "--iterations") {
            iterations = std::strtoul(value.c_str(), nullptr, 10);
        } else if (arg == "--run") {
            run = static_cast<std::uint32_t>(std::strtoul(value.c_str(), nullptr, 10));
        } else if (arg == "--target") {
            only = value;
        } else {
            return Usage();
        }
    }

    ::SetUnhandledExceptionFilter(&OnCrash);
    ::CreateThread(nullptr, 0, &Watchdog, nullptr, 0, nullptr);
    const std::string dir = MakeWorkDirectory();
    SetModuleDirectoryForTesting(dir);

    std::size_t totalInputs = 0;
    std::size_t totalEscaped = 0;
    std::size_t totalChanged = 0;
    std::size_t targetsRun = 0;
    for (fuzz::Target& target : fuzz::AllTargets(dir)) {
        if (!only.empty() && target.name != only) continue;
        ++targetsRun;
        fuzz::Mutator mutator(run + static_cast<std::uint32_t>(std::hash<std::string>{}(target.name)));
        fuzz::Findings findings;
        g_currentTarget = target.name.c_str();
        const DWORD started = ::GetTickCount();
        for (std::size_t i = 0; i < iterations; ++i) {
            const std::string input = target.nextInput(mutator);
            g_currentInput = &input;
            g_currentIteration = i;
            const DWORD now = ::GetTickCount();
            g_inputStarted = now == 0 ? 1 : now;  // 0 means no input under way
            ++findings.inputs;
            try {
                if (target.run(input, findings)) ++findings.accepted;
            } catch (const std::exception& e) {
                findings.escaped.push_back(e.what());
            } catch (...) {
                findings.escaped.push_back("an exception that is not a std::exception");
            }
            g_inputStarted = 0;
            g_currentInput = nullptr;
        }
        std::printf("%-18s %6zu inputs %6zu accepted %4zu escaped %4zu changed  (%lu ms)\n", target.name.c_str(),
                    findings.inputs, findings.accepted, findings.escaped.size(), findings.changed.size(),
                    ::GetTickCount() - started);
        for (std::size_t i = 0; i < findings.escaped.size() && i < 5; ++i) {
            std::printf("  escaped: %s\n", findings.escaped[i].c_str());
        }
        for (std::size_t i = 0; i < findings.changed.size() && i < 5; ++i) {
            std::printf("  changed: %s\n", findings.changed[i].c_str());
        }
        std::fflush(stdout);
        totalInputs += findings.inputs;
        totalEscaped += findings.escaped.size();
        totalChanged += findings.changed.size();
    }
    if (targetsRun == 0) return Usage();
    std::printf("fuzz: %zu targets, %zu inputs, run %u: 0 crashes, 0 hangs, %zu escaped, %zu changed\n", targetsRun,
                totalInputs, run, totalEscaped, totalChanged);
    return totalEscaped == 0 && totalChanged == 0 ? 0 : 1;
}
