#pragma once
// A test seam: lets a test make an export's operation throw, to prove that the
// export turns every exception into its documented result and log line.
// In production no hook is installed and the check costs one atomic load.

#include <functional>
#include <string_view>

using OperationFaultHook = std::function<void(std::string_view operation)>;

void SetOperationFaultHookForTesting(OperationFaultHook hook);

// Called by the exports just before an operation runs; throws whatever the
// installed hook throws.
void RaiseOperationFault(std::string_view operation);
