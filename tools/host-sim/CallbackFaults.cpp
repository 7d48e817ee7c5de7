#include "tools/host-sim/CallbackFaults.h"

#include "platform/UniqueResource.h"

#include <algorithm>
#include <sstream>
#include <vector>

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

// The card numbers a hold file lists, one per line or separated by blanks.
std::vector<std::int64_t> CardsListed(const std::wstring& path) {
    tly::UniqueFileHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE |
                                             FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr));
    std::string text;
    char buffer[4096];
    DWORD read = 0;
    while (file && ::ReadFile(file.get(), buffer, sizeof(buffer), &read, nullptr) && read > 0) {
        text.append(buffer, read);
    }
    std::vector<std::int64_t> cards;
    std::istringstream numbers(text);
    for (std::int64_t card = 0; numbers >> card;) cards.push_back(card);
    return cards;
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
    if (!TakeHold(cardNumber)) return;
    printer_.CallbackFault(sinkPanel, "hold", cardNumber);
    ::WaitForSingleObject(stop_, holdMs_);
    printer_.CallbackFault(sinkPanel, "released", cardNumber);
}

// Deleting the file both tests for it and consumes it, so of several sinks
// called at once exactly one holds. A card the file lists is let through: the
// translator offers a record once more after the host ended in its call-back,
// and holding it again would make a poison card of it.
bool CallbackFaults::TakeHold(std::int64_t cardNumber) {
    if (holdFile_.empty() || ::GetFileAttributesW(holdFile_.c_str()) == INVALID_FILE_ATTRIBUTES) return false;
    const std::vector<std::int64_t> spared = CardsListed(holdFile_);
    if (std::find(spared.begin(), spared.end(), cardNumber) != spared.end()) return false;
    return ::DeleteFileW(holdFile_.c_str()) != FALSE;
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
