#include "tools/bench/ProcessProbe.h"

#include "platform/UniqueResource.h"

#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace bench {
namespace {

constexpr ULONG kSystemHandleInformation = 16;
constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);
constexpr double kBytesPerMiB = 1048576.0;

struct SystemHandleEntry {
    ULONG ownerPid;
    BYTE objectType;
    BYTE flags;
    USHORT value;
    PVOID object;
    ACCESS_MASK access;
};

using QuerySystemInformation = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);

std::uint32_t CountHandles() {
    DWORD counted = 0;
    if (::GetProcessHandleCount(::GetCurrentProcess(), &counted) && counted > 0) return counted;

    const auto query = reinterpret_cast<QuerySystemInformation>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
    if (!query) return 0;
    std::vector<unsigned char> buffer(1 << 20);
    ULONG needed = 0;
    LONG status = 0;
    while ((status = query(kSystemHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed)) ==
           kInfoLengthMismatch) {
        buffer.resize(std::max<size_t>(buffer.size() * 2, needed));
    }
    if (status != 0) return 0;
    const ULONG count = *reinterpret_cast<const ULONG*>(buffer.data());
    const auto* entries = reinterpret_cast<const SystemHandleEntry*>(buffer.data() + sizeof(ULONG_PTR));
    const DWORD self = ::GetCurrentProcessId();
    return static_cast<std::uint32_t>(
        std::count_if(entries, entries + count, [self](const SystemHandleEntry& e) { return e.ownerPid == self; }));
}

std::uint32_t CountThreads() {
    tly::UniqueFileHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return 0;
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof entry;
    const DWORD self = ::GetCurrentProcessId();
    for (BOOL more = ::Process32First(snapshot.get(), &entry); more; more = ::Process32Next(snapshot.get(), &entry)) {
        if (entry.th32ProcessID == self) return entry.cntThreads;
    }
    return 0;
}

double Milliseconds(const FILETIME& time) {
    return static_cast<double>((static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime) / 1e4;
}

std::string ReadSmallFile(const std::string& path, DWORD most = 1024) {
    tly::UniqueFileHandle file(::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                             OPEN_EXISTING, 0, nullptr));
    if (!file) return {};
    std::string text(most, '\0');
    DWORD read = 0;
    if (!::ReadFile(file.get(), text.data(), most, &read, nullptr)) return {};
    text.resize(read);
    return text;
}

// The /proc folder of this prefix's Wine server, found once: a process named
// wineserver whose environment names this process's WINEPREFIX. Other
// prefixes (other build trees) have servers of their own.
std::string WineServerProcDirectory() {
    char prefix[MAX_PATH] = {};
    const DWORD length = ::GetEnvironmentVariableA("WINEPREFIX", prefix, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return {};
    const std::string wanted = std::string("WINEPREFIX=") + prefix + '\0';
    WIN32_FIND_DATAA entry{};
    tly::UniqueFindFile search(::FindFirstFileA("Z:\\proc\\*", &entry));
    if (!search) return {};
    do {
        const std::string name = entry.cFileName;
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
        const std::string directory = "Z:\\proc\\" + name;
        if (ReadSmallFile(directory + "\\comm").rfind("wineserver", 0) != 0) continue;
        const std::string environment = std::string(1, '\0') + ReadSmallFile(directory + "\\environ", 65536);
        if (environment.find('\0' + wanted) != std::string::npos) return directory;
    } while (::FindNextFileA(search.get(), &entry));
    return {};
}

}  // namespace

ProcessSnapshot TakeProcessSnapshot() {
    ProcessSnapshot snapshot;
    PROCESS_MEMORY_COUNTERS_EX memory{};
    memory.cb = sizeof memory;
    if (::GetProcessMemoryInfo(::GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory),
                               sizeof memory)) {
        snapshot.workingSetMiB = static_cast<double>(memory.WorkingSetSize) / kBytesPerMiB;
        snapshot.privateMiB = static_cast<double>(std::max(memory.PrivateUsage, memory.PagefileUsage)) / kBytesPerMiB;
    }
    snapshot.handles = CountHandles();
    snapshot.threads = CountThreads();
    return snapshot;
}

double ProcessCpuMs() {
    FILETIME created{}, exited{}, kernel{}, user{};
    if (!::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
    return Milliseconds(kernel) + Milliseconds(user);
}

double WineServerCpuMs() {
    static const std::string directory = WineServerProcDirectory();
    if (directory.empty()) return -1;
    // "pid (comm) state ..." with utime and stime the 14th and 15th fields,
    // in Linux's clock ticks of 10 ms; the command may hold spaces, so count
    // from the closing parenthesis.
    const std::string stat = ReadSmallFile(directory + "\\stat");
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int index = 3; index <= 15 && fields >> field; ++index) {
        if (index == 14) utime = std::strtoull(field.c_str(), nullptr, 10);
        if (index == 15) stime = std::strtoull(field.c_str(), nullptr, 10);
    }
    return static_cast<double>(utime + stime) * 10.0;
}

}  // namespace bench
