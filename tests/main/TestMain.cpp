// The entry of the test programs that link the translator's core. Once the
// results are written the process ends at once, without the runtime's exit
// handlers and the libraries' detach: under Wine, the exit of a test process
// that ran the check tool beside DPAPI and the delivery journal has ended in
// an access violation about one full run in ten, always after every check had
// passed and "PASSED" was printed, and a verdict already written is not worth
// losing to it. The translator's own unload is tested where it happens, in
// the DLL load tests and the host simulator.

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    std::fflush(stdout);
    std::fflush(stderr);
    ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(result));
    return result;
}
