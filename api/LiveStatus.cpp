#include "api/LiveStatus.h"

#include "TallyportVersion.h"
#include "logging/Log.h"
#include "platform/Clock.h"
#include "platform/TextConversion.h"
#include "platform/UniqueResource.h"

#include <windows.h>

LiveStatus::LiveStatus(std::function<StatusSources()> gather)
    : gather_(std::move(gather)),
      processId_(::GetCurrentProcessId()),
      started_(StatusTime(tly::CurrentClock().UtcTime())) {}

void LiveStatus::NoteStatusRequest(std::int32_t panelId) {
    std::string now = StatusTime(tly::CurrentClock().UtcTime());
    tly::MutexLock guard(lock_);
    statusRequests_[panelId] = std::move(now);
}

void LiveStatus::NoteSettings(bool loaded, const std::string& reason) {
    tly::MutexLock guard(lock_);
    settings_ = loaded ? "loaded" : "unloadable";
    settingsReason_ = loaded ? std::string() : reason;
}

StatusReport LiveStatus::Compose() {
    const StatusSources sources = gather_();
    tly::Clock& clock = tly::CurrentClock();
    const std::string now = StatusTime(clock.UtcTime());
    const SYSTEMTIME local = clock.LocalTime();
    const std::uint32_t today = local.wYear * 10000u + local.wMonth * 100u + local.wDay;

    StatusReport report;
    report.process.version = TLY_VERSION_TEXT;
    report.process.started = started_;
    report.process.processId = processId_;
    report.process.journalBytes = sources.journalBytes;

    tly::MutexLock guard(lock_);
    report.process.settings = settings_;
    report.process.settingsReason = settingsReason_;
    if (today != day_) {
        // A new day: what was counted so far is the day's zero (none at the first look).
        const bool first = day_ == 0;
        day_ = today;
        dayStart_.clear();
        if (!first) {
            for (const auto& [panelId, counts] : sources.deliveries) dayStart_[panelId] = {counts.delivered, counts.marked};
        }
    }
    for (std::int32_t panelId : sources.openPanels) {
        PanelStatus panel;
        panel.panelId = panelId;
        if (auto link = sources.links.find(panelId); link != sources.links.end()) {
            panel.link = link->second.link;
            panel.linkSince = link->second.since;
            panel.lastLossCause = link->second.lossCause;
            panel.lastLossCauseText = link->second.lossCauseText;
            panel.lastLossAt = link->second.lossAt;
        }
        if (auto counts = sources.deliveries.find(panelId); counts != sources.deliveries.end()) {
            const DayCounts start = dayStart_[panelId];
            panel.deliveredToday = counts->second.delivered - start.delivered;
            panel.markedToday = counts->second.marked - start.marked;
            panel.refused = counts->second.refused;
            panel.lastActivityId = counts->second.lastId;
            Seen& seen = seen_[panelId];
            if (counts->second.delivered != seen.delivered) {
                seen.delivered = counts->second.delivered;
                seen.lastActivityAt = now;
            }
            panel.lastActivityAt = seen.lastActivityAt;
        }
        if (auto taken = sources.takenUnmarked.find(panelId); taken != sources.takenUnmarked.end()) {
            panel.takenUnmarked = taken->second;
        }
        if (auto held = sources.heldBack.find(panelId); held != sources.heldBack.end()) panel.heldBack = held->second;
        panel.eventChannel = sources.channelUp ? "up" : "down";
        if (auto asked = statusRequests_.find(panelId); asked != statusRequests_.end()) {
            panel.lastStatusRequest = asked->second;
        }
        report.panels.push_back(std::move(panel));
    }
    return report;
}

bool LiveStatus::PublishIfDue(const std::string& directory) noexcept {
    try {
        tly::Clock& clock = tly::CurrentClock();
        const std::uint32_t now = clock.TickCount();
        if (looked_.load() && now - lastLook_.load() < kLeastIntervalMs) return false;  // unsigned: wrap-safe
        if (!publishLock_.TryLock()) return false;  // another host thread is at it
        tly::MutexLock guard(publishLock_, tly::kAdoptLock);
        if (looked_.load() && now - lastLook_.load() < kLeastIntervalMs) return false;
        lastLook_.store(now);
        looked_.store(true);

        StatusReport report = Compose();
        // The host asks every second: the time of its last request goes out
        // with each write, but is no change by itself (the heartbeat carries it).
        StatusReport compared = report;
        for (PanelStatus& panel : compared.panels) {
            if (!panel.lastStatusRequest.empty()) panel.lastStatusRequest = "asked";
        }
        const std::string picture = RenderStatus(compared);
        if (picture == written_ && now - writtenAt_ < kHeartbeatMs) return false;
        report.process.heartbeat = StatusTime(clock.UtcTime());
        if (!WriteFile(directory, RenderStatus(report))) return false;
        written_ = picture;
        writtenAt_ = now;
        if (!removedEnded_) {
            removedEnded_ = true;
            RemoveFilesOfEndedProcesses(directory);
        }
        return true;
    } catch (const std::exception& e) {
        LogApiEvent(LogLevel::Warn, "status.publish_failed", "The live status could not be composed",
                    {{"error", e.what()}});
    } catch (...) {
        LogApiEvent(LogLevel::Warn, "status.publish_failed", "The live status could not be composed",
                    {{"error", "unknown"}});
    }
    return false;
}

void LiveStatus::Withdraw(const std::string& directory) noexcept {
    try {
        tly::MutexLock guard(publishLock_);
        ::DeleteFileW(tly::Utf8ToWide(directory + "\\" + StatusFileName(processId_)).c_str());
        written_.clear();
        looked_.store(false);
    } catch (...) {
        // Out of memory for a path: the file stays, and reads as stale once the heartbeat ages.
    }
}

void LiveStatus::RemoveFilesOfEndedProcesses(const std::string& directory) {
    WIN32_FIND_DATAW found{};
    const std::wstring folder = tly::Utf8ToWide(directory + "\\");
    const std::wstring pattern = folder + tly::Utf8ToWide(std::string(kStatusFilePrefix) + "*" + kStatusFileSuffix);
    tly::UniqueFindFile search(::FindFirstFileW(pattern.c_str(), &found));
    if (!search) return;
    do {
        const std::uint32_t processId = StatusFileProcessId(tly::WideToUtf8(found.cFileName));
        if (processId == 0 || processId == processId_ || StatusProcessRuns(processId)) continue;
        if (::DeleteFileW((folder + found.cFileName).c_str())) {
            LogApiEvent(LogLevel::Info, "status.ended_process_removed",
                        "Removed the live status a host process left when it ended",
                        {{"process_id", processId}});
        }
    } while (::FindNextFileW(search.get(), &found));
}

// A new file beside the status, then one rename over it: a reader finds the
// previous picture or this one, never a mix.
bool LiveStatus::WriteFile(const std::string& directory, const std::string& text) {
    const std::wstring path = tly::Utf8ToWide(directory + "\\" + StatusFileName(processId_));
    const std::wstring temporary = path + L".new";
    const char* call = "CreateFileW";
    DWORD error = ERROR_SUCCESS;
    {
        tly::UniqueFileHandle file(::CreateFileW(temporary.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                                 CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) error = ::GetLastError();
        DWORD written = 0;
        if (file && (!::WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
                     written != text.size())) {
            call = "WriteFile";
            error = ::GetLastError();
            if (error == ERROR_SUCCESS) error = ERROR_HANDLE_DISK_FULL;
        }
    }
    if (error == ERROR_SUCCESS && !::MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        call = "MoveFileExW";
        error = ::GetLastError();
    }
    if (error != ERROR_SUCCESS) {
        if (std::string(call) != "CreateFileW") ::DeleteFileW(temporary.c_str());
        if (!writeFailed_) {
            writeFailed_ = true;
            LogApiEvent(LogLevel::Warn, "status.write_failed",
                        "The live status could not be written; tallyport-check --status shows it stale",
                        {{"call", call}, {"win32_error", static_cast<std::uint32_t>(error)},
                         {"path", tly::WideToUtf8(path)}});
        }
        return false;
    }
    writeFailed_ = false;
    return true;
}
