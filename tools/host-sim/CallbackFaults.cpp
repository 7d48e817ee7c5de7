#include "tools/host-sim/CallbackFaults.h"

namespace hostsim {
namespace {

// The exit code of a process ended on the crash card, as an access violation
// would end it.
constexpr UINT kCrashExitCode = 0xC0000005;

std::wstring Wide(const std::string& text) {
    if (text.empty()) return {};
    const int needed = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(needed > 0 ? needed : 0), L'\0');
    if (needed > 0) {
        ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), needed);
    }
    return out;
}

}  // namespace

CallbackFaults::CallbackFaults(const Options& options, EventPrinter& printer, HANDLE stop)
    : crashOnCard_(options.crashOnCard),
      crashKind_(options.crashKind),
      holdFile_(Wide(options.holdFile)),
      holdMs_(options.holdMs),
      printer_(printer),
      stop_(stop) {}

void CallbackFaults::AfterCardRecord(std::int32_t sinkPanel, std::int64_t cardNumber) {
    if (crashOnCard_ && *crashOnCard_ == cardNumber) Crash(sinkPanel, cardNumber);
    if (!TakeHold()) return;
    printer_.CallbackFault(sinkPanel, "hold", cardNumber);
    ::WaitForSingleObject(stop_, holdMs_);
    printer_.CallbackFault(sinkPanel, "released", cardNumber);
}

// Deleting the file both tests for it and consumes it, so of several sinks
// called at once exactly one holds.
bool CallbackFaults::TakeHold() {
    return !holdFile_.empty() && ::DeleteFileW(holdFile_.c_str());
}

void CallbackFaults::Crash(std::int32_t sinkPanel, std::int64_t cardNumber) {
    printer_.CallbackFault(sinkPanel, "crash", cardNumber);
    if (crashKind_ == CrashKind::AccessViolation) {
        // Through a volatile pointer, so the compiler emits the store instead
        // of a trap of its own.
        volatile int* volatile nowhere = nullptr;
        *nowhere = 0;
    }
    ::TerminateProcess(::GetCurrentProcess(), kCrashExitCode);
    for (;;) ::Sleep(INFINITE);  // TerminateProcess on itself does not return
}

}  // namespace hostsim
