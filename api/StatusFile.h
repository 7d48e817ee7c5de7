#pragma once
// The live status file: what a running translator says about itself, for
// whoever asks "what is it doing right now?" without reading its log.
//
// One file per host process, "tly_status_<process id>.json", in the data
// folder beside the log and the settings file. One file per process rather
// than one shared file: two host processes may run against one folder for a
// moment (one starting while the one before still ends, as the delivery
// journal allows for), and neither may overwrite the other's picture. Each
// process replaces its file whole (a new file beside it, then one rename),
// so a reader finds either the previous version or the next, never a mix, and
// needs no lock or mapping to read it. A file whose process is gone stays, and
// the reader says so (stale), until the next host process writes its first
// status and removes it: a monitor sees the crash until the host is back.
// Plain JSON, so a script reads it as it is.
//
// The writer is api/LiveStatus; the reader is tallyport-check --status.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

constexpr const char* kStatusFilePrefix = "tly_status_";
constexpr const char* kStatusFileSuffix = ".json";
constexpr int kStatusFormat = 1;

struct PanelStatus {
    std::int32_t panelId = 0;
    std::string link = "unknown";  // "up", "down" or "unknown" (not asked yet)
    std::string linkSince;         // UTC; empty while unknown
    // The cause of the last loss, as panel.link_lost gave it; empty when none.
    std::string lastLossCause;
    std::string lastLossCauseText;
    std::string lastLossAt;
    std::int32_t lastActivityId = 0;  // 0: none delivered since the process started
    std::string lastActivityAt;       // UTC, within a second of the delivery
    std::uint32_t deliveredToday = 0;  // local day
    std::uint32_t markedToday = 0;
    std::uint32_t refused = 0;  // since the process started
    std::uint32_t heldBack = 0;
    std::uint32_t takenUnmarked = 0;
    std::string eventChannel = "down";  // the process's channel: "up" or "down"
    std::string lastStatusRequest;      // UTC; empty: none yet

    bool operator==(const PanelStatus&) const = default;
};

struct ProcessStatus {
    std::string version;
    std::string started;  // UTC
    std::uint32_t processId = 0;
    std::string settings = "not_loaded";  // "loaded", "unloadable" or "not_loaded"
    std::string settingsReason;           // why unloadable
    std::uint64_t journalBytes = 0;       // 0: no journal open
    std::string heartbeat;                // UTC: the last time the file was written

    bool operator==(const ProcessStatus&) const = default;
};

struct StatusReport {
    int format = kStatusFormat;
    ProcessStatus process;
    std::vector<PanelStatus> panels;  // the open panels, in the order opened

    bool operator==(const StatusReport&) const = default;
};

// The file's name for the process, and the process a name stands for (0 when
// it is no status file's name).
std::string StatusFileName(std::uint32_t processId);
std::uint32_t StatusFileProcessId(const std::string& name);

// Whether the process runs (one that is there but may not be opened does).
bool StatusProcessRuns(std::uint32_t processId);

// UTC as written in the file, "2026-12-10T14:07:09Z".
std::string StatusTime(const struct _SYSTEMTIME& utc);

std::string RenderStatus(const StatusReport& report);
// False with the reason (which member, or the syntax error) for a file that is
// not a status: damaged, half-written by something else, or of a later format.
bool ParseStatus(const std::string& text, StatusReport& report, std::string& reason);
