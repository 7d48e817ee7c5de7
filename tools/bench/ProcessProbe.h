#pragma once
// What this process holds right now, read in ways that work under Wine too:
// there GetProcessHandleCount answers 0, so handles are counted in the
// system's handle table, and PrivateUsage is 0, so private memory is the
// page-file usage (Wine fills it from the process's anonymous memory).

#include <cstdint>

namespace bench {

struct ProcessSnapshot {
    double workingSetMiB = 0;
    double privateMiB = 0;
    std::uint32_t handles = 0;
    std::uint32_t threads = 0;
};

ProcessSnapshot TakeProcessSnapshot();

// User plus kernel time of this process so far.
double ProcessCpuMs();

// User plus kernel time of the Wine server so far, read from Linux's
// /proc through the Z: drive; a negative value where there is none to read
// (on Windows). The server serves every Wine process, so the figure is the
// machine's, not this process's alone: measure across an interval in which
// this process is the only busy one.
double WineServerCpuMs();

}  // namespace bench
