#pragma once
// The live status of this process (api/StatusFile.h): composed from the parts
// that own each piece and written beside the log, so a monitor can ask a
// running translator what it is doing without reading its log.
//
// Written from the host's own calls, not from a thread of its own: every
// connection check and status request (about once a second per panel) asks
// PublishIfDue, which looks at the clock and returns at once unless a second
// has passed since it last looked. Then it composes the picture and writes it
// only when it differs from the one written, or when the last write is
// kHeartbeatMs old: the heartbeat. So a host that stops calling (stuck, or
// gone) leaves a heartbeat that ages, which is what a reader wants to know,
// and there is no thread to stop before the module may be unloaded. The first
// write of a process removes the files of host processes that are gone. The write
// (a temporary file, then one rename) costs about a millisecond, once a
// second, on one host call; nothing on the delivery path: the deliveries'
// counts are atomics (api/DeliveryCounters.h), and the moment of the last
// delivery is the moment the status first saw it, within a second.
//
// The time of the host's last status request is written with every picture
// but does not make one by itself: the host asks every second, so it is at
// most a heartbeat old in the file (its first request does count).
//
// "Today" is the local day: at the first look of a new day the counts so far
// become the day's zero.
//
// Locks: publishLock_ is taken with TryLock (a second host thread that finds a
// write under way simply goes on) and is held while the picture is composed;
// the sources' locks are taken under it one at a time (the panels', the panel
// links', the delivery counters', the journal's), then lock_, a leaf. The
// file is written with publishLock_ alone held; a failed write takes the log's.

#include "api/StatusFile.h"
#include "platform/Mutex.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

// What the status is composed from, each piece as its owner reports it.
struct StatusSources {
    struct Link {
        std::string link = "unknown";
        std::string since;
        std::string lossCause;
        std::string lossCauseText;
        std::string lossAt;
    };
    struct Deliveries {
        std::uint32_t delivered = 0;
        std::uint32_t marked = 0;
        std::uint32_t refused = 0;
        std::int32_t lastId = 0;
    };
    std::vector<std::int32_t> openPanels;
    std::map<std::int32_t, Link> links;
    std::map<std::int32_t, Deliveries> deliveries;
    std::map<std::int32_t, std::uint32_t> takenUnmarked;
    std::map<std::int32_t, std::uint32_t> heldBack;
    std::uint64_t journalBytes = 0;
    bool channelUp = false;
};

class LiveStatus {
public:
    static constexpr std::uint32_t kLeastIntervalMs = 1000;
    static constexpr std::uint32_t kHeartbeatMs = 10000;

    // gather: the sources as they are now; called under publishLock_ only.
    explicit LiveStatus(std::function<StatusSources()> gather);
    LiveStatus(const LiveStatus&) = delete;
    LiveStatus& operator=(const LiveStatus&) = delete;

    // A host's status request for the panel: its time is in the status.
    void NoteStatusRequest(std::int32_t panelId) TLY_EXCLUDES(lock_);
    // The settings file's state: loaded, or unloadable with the reason.
    void NoteSettings(bool loaded, const std::string& reason) TLY_EXCLUDES(lock_);

    // Writes the status into the folder when it is due (see above). True when
    // it wrote. Never throws; a failed write is logged once until one succeeds.
    bool PublishIfDue(const std::string& directory) noexcept TLY_EXCLUDES(publishLock_, lock_);
    // No panel is open any more: the file goes, and the next publish writes at once.
    void Withdraw(const std::string& directory) noexcept TLY_EXCLUDES(publishLock_);

    // The picture as it would be written now (the heartbeat left empty).
    StatusReport Compose() TLY_EXCLUDES(lock_);

private:
    struct DayCounts {
        std::uint32_t delivered = 0;
        std::uint32_t marked = 0;
    };
    struct Seen {
        std::uint32_t delivered = 0;
        std::string lastActivityAt;
    };
    bool WriteFile(const std::string& directory, const std::string& text) TLY_REQUIRES(publishLock_);
    // The files of host processes that are gone: this process supersedes them.
    void RemoveFilesOfEndedProcesses(const std::string& directory) TLY_REQUIRES(publishLock_);

    const std::function<StatusSources()> gather_;
    const std::uint32_t processId_;
    const std::string started_;

    tly::Mutex publishLock_;
    std::atomic<std::uint32_t> lastLook_{0};
    std::atomic<bool> looked_{false};
    std::string written_ TLY_GUARDED_BY(publishLock_);  // the last picture written, without its heartbeat
    std::uint32_t writtenAt_ TLY_GUARDED_BY(publishLock_) = 0;
    bool writeFailed_ TLY_GUARDED_BY(publishLock_) = false;
    bool removedEnded_ TLY_GUARDED_BY(publishLock_) = false;  // at the first write, once

    tly::Mutex lock_;
    std::string settings_ TLY_GUARDED_BY(lock_) = "not_loaded";
    std::string settingsReason_ TLY_GUARDED_BY(lock_);
    std::map<std::int32_t, std::string> statusRequests_ TLY_GUARDED_BY(lock_);
    std::uint32_t day_ TLY_GUARDED_BY(lock_) = 0;  // year * 10000 + month * 100 + day
    std::map<std::int32_t, DayCounts> dayStart_ TLY_GUARDED_BY(lock_);
    std::map<std::int32_t, Seen> seen_ TLY_GUARDED_BY(lock_);
};
