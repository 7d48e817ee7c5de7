#include "api/OperationFaults.h"

#include <atomic>
#include <memory>

namespace {

// A test seam, so the one piece of process-wide state here that is not the instance's.
std::atomic<OperationFaultHook*>& InstalledHook() {
    static std::atomic<OperationFaultHook*> hook{nullptr};
    return hook;
}

}  // namespace

void SetOperationFaultHookForTesting(OperationFaultHook hook) {
    auto* installed = hook ? new OperationFaultHook(std::move(hook)) : nullptr;
    // The old hook is leaked on purpose: another thread may be running it.
    InstalledHook().exchange(installed);
}

void RaiseOperationFault(std::string_view operation) {
    if (OperationFaultHook* hook = InstalledHook().load(std::memory_order_acquire)) (*hook)(operation);
}
