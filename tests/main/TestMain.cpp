// The entry of the test programs that link the translator's core.
//
// The tests run on a thread of their own, and the process ends only once
// every other thread has ended, at once, without the runtime's exit handlers
// and the libraries' detach (the translator's own unload is tested where it
// happens, in the DLL load tests and the host simulator).
//
// Why: GoogleTest on Windows keeps its per-thread values with a watcher
// thread for each thread that asserts, started at that thread's first
// assertion and ended when that thread ends. Ending the process kills every
// other thread, and under Wine a thread killed in the middle of a request to
// the Wine server (a watcher just starting, for one) can crash in its own
// exit path, which ends the whole process with SIGSEGV after every test had
// passed. A watcher of the test thread, by contrast, ends by itself once the
// test thread has ended, so threads are waited for here while they keep
// ending. A thread that a test left running, or one of Wine's own that waits
// for work, is killed with the process as before.

#include "platform/UniqueResource.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <vector>

namespace {

struct TestRun {
    int argc;
    char** argv;
    int result = 1;
};

DWORD WINAPI RunTests(void* parameter) {
    auto* run = static_cast<TestRun*>(parameter);
    ::testing::InitGoogleTest(&run->argc, run->argv);
    run->result = RUN_ALL_TESTS();
    return 0;
}

// Every other thread of this process that can still be waited for.
std::vector<tly::UniqueHandle> OtherThreads() {
    std::vector<tly::UniqueHandle> threads;
    // Failure is INVALID_HANDLE_VALUE, as for a file.
    const tly::UniqueFileHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    if (!snapshot) return threads;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Thread32First(snapshot.get(), &entry); more; more = ::Thread32Next(snapshot.get(), &entry)) {
        if (entry.th32OwnerProcessID != ::GetCurrentProcessId() || entry.th32ThreadID == ::GetCurrentThreadId()) {
            continue;
        }
        tly::UniqueHandle thread(::OpenThread(SYNCHRONIZE, FALSE, entry.th32ThreadID));
        if (thread) threads.push_back(std::move(thread));
    }
    return threads;
}

// Waits while other threads keep ending, until none has ended for quietMs or
// the time-out has passed; how many are left. A watcher ends within moments
// of its thread; a thread that has not ended for a while is waiting for
// something that will not come before the process ends.
std::size_t WaitForOtherThreads(DWORD quietMs, DWORD timeoutMs) {
    const DWORD start = ::GetTickCount();
    for (;;) {
        std::vector<tly::UniqueHandle> threads = OtherThreads();
        // One wait takes no more; the rest come in the next round.
        if (threads.size() > MAXIMUM_WAIT_OBJECTS) threads.resize(MAXIMUM_WAIT_OBJECTS);
        std::vector<HANDLE> waits;
        for (const tly::UniqueHandle& thread : threads) waits.push_back(thread.get());
        const DWORD spent = ::GetTickCount() - start;
        const DWORD ended = waits.empty() || spent >= timeoutMs
                                ? WAIT_TIMEOUT
                                : ::WaitForMultipleObjects(static_cast<DWORD>(waits.size()), waits.data(), FALSE,
                                                           quietMs);
        if (ended == WAIT_TIMEOUT || ended == WAIT_FAILED) return threads.size();
    }
}

}  // namespace

int main(int argc, char** argv) {
    TestRun run{argc, argv};
    // The default stack size: the same reserve as this thread's.
    const tly::UniqueHandle tests(::CreateThread(nullptr, 0, RunTests, &run, 0, nullptr));
    if (!tests) {
        std::fprintf(stderr, "could not start the test thread (error %lu)\n", ::GetLastError());
        return 1;
    }
    ::WaitForSingleObject(tests.get(), INFINITE);
    if (const std::size_t left = WaitForOtherThreads(100, 2000)) {
        std::fprintf(stderr, "%u thread(s) still running after the tests end with the process\n",
                     static_cast<unsigned>(left));
    }
    std::fflush(stdout);
    std::fflush(stderr);
    ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(run.result));
    return run.result;
}
