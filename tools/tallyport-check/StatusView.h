#pragma once
// tallyport-check --status: the live status of every translator process that
// writes beside the log (api/StatusFile.h), as a table, as JSON, or refreshed
// in place in a console. A status is stale when its process is gone or its
// heartbeat is older than kStaleSeconds: the host stopped calling in (stuck),
// or the file outlived its process.

#include "api/StatusFile.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

constexpr std::int64_t kStaleSeconds = 30;

struct StatusEntry {
    std::string file;  // its name in the folder
    bool readable = false;
    std::string problem;  // why it is not readable
    StatusReport report;
    bool stale = false;
    std::string staleWhy;  // "process gone", "heartbeat 42 s old"
};

// Whether a process runs: the check asks Windows; tests answer themselves.
using ProcessAlive = std::function<bool(std::uint32_t processId)>;
bool ProcessRuns(std::uint32_t processId);
// This machine's UTC clock as seconds since 1970.
std::int64_t StatusNowUtc();

// Every status file in the folder, read and judged at nowUtc (seconds since
// 1970), in the order of their names. A damaged file is an entry that says why.
std::vector<StatusEntry> ReadStatuses(const std::string& directory, std::int64_t nowUtc,
                                      const ProcessAlive& alive = ProcessRuns);
// One file's text judged as above (the file name gives the process when the
// text cannot).
StatusEntry JudgeStatus(const std::string& file, const std::string& text, std::int64_t nowUtc,
                        const ProcessAlive& alive);

std::string StatusTable(const std::vector<StatusEntry>& entries, const std::string& directory);
std::string StatusJson(const std::vector<StatusEntry>& entries, const std::string& directory);
// True when there is at least one status and none is stale or unreadable.
bool AllLive(const std::vector<StatusEntry>& entries);

// The whole --status run: prints, refreshes (watch: until Ctrl+C, or
// refreshes times when that is not 0), and gives the exit code's verdict.
bool ShowStatus(const std::string& directory, bool json, bool watch, std::uint32_t refreshes);
