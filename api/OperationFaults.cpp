#include "api/OperationFaults.h"

#include <atomic>
#include <memory>

namespace {
std::atomic<OperationFaultHook*> g_hook{nullptr};
}

void SetOperationFaultHookForTesting(OperationFaultHook hook) {
    auto* installed = hook ? new OperationFaultHook(std::move(hook)) : nullptr;
    // The old hook is leaked on purpose: another thread may be running it.
    g_hook.exchange(installed);
}

void RaiseOperationFault(std::string_view operation) {
    if (OperationFaultHook* hook = g_hook.load(std::memory_order_acquire)) (*hook)(operation);
}
