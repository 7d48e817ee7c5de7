#pragma once
// The one way a test waits for something another thread does: the condition
// is looked at again whenever the event (if given) is set, and at least every
// 20 ms, until it holds or the time-out passes. Never a fixed sleep.

#include <windows.h>

#include <functional>

namespace tly::test {

bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs = 10000, HANDLE changed = nullptr);

}  // namespace tly::test
