#include "translator/framework/ModuleLock.h"

#include <atomic>

namespace tly::com {
namespace {

std::atomic<long> lockCount{0};

}  // namespace

void LockModule() noexcept { ++lockCount; }
void UnlockModule() noexcept { --lockCount; }
long ModuleLockCount() noexcept { return lockCount.load(); }

}  // namespace tly::com
