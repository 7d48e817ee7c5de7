#include "tests/support/WaitUntil.h"

#include <algorithm>

namespace tly::test {

bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs, HANDLE changed) {
    constexpr DWORD kLookEveryMs = 20;
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    for (;;) {
        if (condition()) return true;
        const ULONGLONG now = ::GetTickCount64();
        if (now >= deadline) return condition();
        const auto wait = static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, kLookEveryMs));
        if (changed) {
            ::WaitForSingleObject(changed, wait);
        } else {
            ::Sleep(wait);
        }
    }
}

}  // namespace tly::test
