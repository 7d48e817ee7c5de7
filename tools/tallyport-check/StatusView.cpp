#include "tools/tallyport-check/StatusView.h"

#include "platform/CivilTime.h"
#include "platform/FileAccess.h"
#include "platform/TextConversion.h"
#include "platform/UniqueResource.h"

#include <nlohmann/json.hpp>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>

namespace {

std::string OrDash(const std::string& text) { return text.empty() ? "-" : text; }

// "14:05:02Z" of "2026-12-10T14:05:02Z": the table's columns stay narrow;
// the date shows when it is not today's.
std::string ShortTime(const std::string& utc, const std::string& today) {
    if (utc.size() == 20 && utc.compare(0, 10, today) == 0) return utc.substr(11);
    return OrDash(utc);
}

std::string Pad(const std::string& text, std::size_t width) {
    return text.size() >= width ? text + " " : text + std::string(width - text.size(), ' ');
}

}  // namespace

std::int64_t StatusNowUtc() {
    SYSTEMTIME now;
    ::GetSystemTime(&now);
    return tly::SecondsSince1970(now);
}

bool ProcessRuns(std::uint32_t processId) { return StatusProcessRuns(processId); }

StatusEntry JudgeStatus(const std::string& file, const std::string& text, std::int64_t nowUtc,
                        const ProcessAlive& alive) {
    StatusEntry entry;
    entry.file = file;
    entry.readable = ParseStatus(text, entry.report, entry.problem);
    const std::uint32_t processId = entry.readable ? entry.report.process.processId : StatusFileProcessId(file);
    if (processId != 0 && !alive(processId)) {
        entry.stale = true;
        entry.staleWhy = "process gone";
        return entry;
    }
    if (!entry.readable) {
        entry.stale = true;
        entry.staleWhy = "unreadable";
        return entry;
    }
    std::int64_t heartbeat = 0;
    if (!tly::ParseUtcTimestamp(entry.report.process.heartbeat, heartbeat)) {
        entry.stale = true;
        entry.staleWhy = "no heartbeat";
    } else if (nowUtc - heartbeat > kStaleSeconds) {
        entry.stale = true;
        entry.staleWhy = "heartbeat " + std::to_string(nowUtc - heartbeat) + " s old";
    }
    return entry;
}

std::vector<StatusEntry> ReadStatuses(const std::string& directory, std::int64_t nowUtc, const ProcessAlive& alive) {
    std::vector<std::string> names;
    WIN32_FIND_DATAW found{};
    const std::wstring pattern =
        tly::Utf8ToWide(directory + "\\" + kStatusFilePrefix + "*" + kStatusFileSuffix);
    tly::UniqueFindFile search(::FindFirstFileW(pattern.c_str(), &found));
    if (search) {
        do {
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(tly::WideToUtf8(found.cFileName));
        } while (::FindNextFileW(search.get(), &found));
    }
    std::sort(names.begin(), names.end());
    std::vector<StatusEntry> entries;
    for (const std::string& name : names) {
        std::string text;
        if (!ReadWholeFile(directory + "\\" + name, text)) {
            // Gone between the listing and the read: its process withdrew it.
            if (::GetLastError() == ERROR_FILE_NOT_FOUND) continue;
            text.clear();
        }
        entries.push_back(JudgeStatus(name, text, nowUtc, alive));
    }
    return entries;
}

bool AllLive(const std::vector<StatusEntry>& entries) {
    return !entries.empty() &&
           std::none_of(entries.begin(), entries.end(), [](const StatusEntry& e) { return e.stale; });
}

std::string StatusTable(const std::vector<StatusEntry>& entries, const std::string& directory) {
    if (entries.empty()) {
        return "No translator process with an open panel writes a status in " + directory + "\n";
    }
    SYSTEMTIME now;
    ::GetSystemTime(&now);
    const std::string today = StatusTime(now).substr(0, 10);
    std::string text;
    for (const StatusEntry& entry : entries) {
        if (!text.empty()) text += "\n";
        if (!entry.readable) {
            text += entry.file + ": STALE (" + entry.staleWhy + "): " + entry.problem + "\n";
            continue;
        }
        const ProcessStatus& p = entry.report.process;
        text += "Translator " + p.version + ", process " + std::to_string(p.processId) + ", started " + p.started +
                ": " + (entry.stale ? "STALE (" + entry.staleWhy + ")" : std::string("live")) + ", heartbeat " +
                OrDash(p.heartbeat) + "\n";
        text += "  settings " + p.settings + (p.settingsReason.empty() ? std::string() : " (" + p.settingsReason + ")") +
                ", journal " + std::to_string(p.journalBytes) + " bytes\n";
        if (entry.report.panels.empty()) {
            text += "  no panel open\n";
            continue;
        }
        const std::size_t widths[] = {7, 6, 11, 11, 11, 9, 8, 6, 9, 8, 11};
        const char* headings[] = {"panel", "link", "since", "delivered", "marked", "refused",
                                  "held", "unmarked", "channel", "last id", "last asked"};
        std::string row = "  ";
        for (std::size_t i = 0; i < 11; ++i) row += Pad(headings[i], widths[i]);
        text += row + "\n";
        for (const PanelStatus& panel : entry.report.panels) {
            const std::string cells[] = {std::to_string(panel.panelId),
                                         panel.link,
                                         ShortTime(panel.linkSince, today),
                                         std::to_string(panel.deliveredToday),
                                         std::to_string(panel.markedToday),
                                         std::to_string(panel.refused),
                                         std::to_string(panel.heldBack),
                                         std::to_string(panel.takenUnmarked),
                                         panel.eventChannel,
                                         panel.lastActivityId == 0 ? std::string("-") : std::to_string(panel.lastActivityId),
                                         ShortTime(panel.lastStatusRequest, today)};
            row = "  ";
            for (std::size_t i = 0; i < 11; ++i) row += Pad(cells[i], widths[i]);
            while (!row.empty() && row.back() == ' ') row.pop_back();
            text += row + "\n";
        }
        for (const PanelStatus& panel : entry.report.panels) {
            if (panel.lastActivityId != 0) {
                text += "  panel " + std::to_string(panel.panelId) + " last activity " +
                        std::to_string(panel.lastActivityId) + " at " + OrDash(panel.lastActivityAt) + "\n";
            }
            if (!panel.lastLossCause.empty()) {
                text += "  panel " + std::to_string(panel.panelId) + " last lost " + OrDash(panel.lastLossAt) + ": " +
                        panel.lastLossCause + " (" + panel.lastLossCauseText + ")\n";
            }
        }
    }
    text += "(delivered and marked: today; refused: since the process started)\n";
    return text;
}

std::string StatusJson(const std::vector<StatusEntry>& entries, const std::string& directory) {
    nlohmann::json processes = nlohmann::json::array();
    for (const StatusEntry& entry : entries) {
        nlohmann::json item = {{"file", entry.file}, {"stale", entry.stale}};
        item["stale_reason"] = entry.stale ? nlohmann::json(entry.staleWhy) : nlohmann::json();
        if (entry.readable) {
            item["status"] = nlohmann::json::parse(RenderStatus(entry.report));
        } else {
            item["problem"] = entry.problem;
        }
        processes.push_back(std::move(item));
    }
    const nlohmann::json document = {{"folder", directory}, {"processes", processes}};
    return document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

namespace {

// Ctrl+C ends a watch: the handler sets the event the refresh waits on.
std::atomic<HANDLE> g_stopWatch{nullptr};

BOOL WINAPI OnConsoleControl(DWORD type) {
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && type != CTRL_CLOSE_EVENT) return FALSE;
    if (HANDLE stop = g_stopWatch.load()) ::SetEvent(stop);
    return TRUE;
}

class WatchStop {
public:
    WatchStop() : event_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
        g_stopWatch.store(event_.get());
        ::SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    }
    ~WatchStop() {
        ::SetConsoleCtrlHandler(OnConsoleControl, FALSE);
        g_stopWatch.store(nullptr);
    }
    WatchStop(const WatchStop&) = delete;
    WatchStop& operator=(const WatchStop&) = delete;
    // True when stopped within the time.
    bool Wait(DWORD milliseconds) const {
        if (!event_) {
            ::Sleep(milliseconds);
            return false;
        }
        return ::WaitForSingleObject(event_.get(), milliseconds) == WAIT_OBJECT_0;
    }

private:
    tly::UniqueHandle event_;
};

void Write(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

// In a console the picture is drawn over the last one, from the window's top left;
// elsewhere (a pipe, a file) each picture follows the last.
void Redraw(const std::string& text) {
    const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!::GetConsoleScreenBufferInfo(out, &info)) {
        Write(text + "\n");
        return;
    }
    // The visible window's top left, and only its cells: a console keeps
    // thousands of lines of scroll-back, which need no clearing every second.
    const COORD home{0, info.srWindow.Top};
    DWORD done = 0;
    const DWORD rows = static_cast<DWORD>(info.srWindow.Bottom - info.srWindow.Top + 1);
    const DWORD cells = static_cast<DWORD>(info.dwSize.X) * rows;
    ::FillConsoleOutputCharacterW(out, L' ', cells, home, &done);
    ::FillConsoleOutputAttribute(out, info.wAttributes, cells, home, &done);
    ::SetConsoleCursorPosition(out, home);
    Write(text);
}

}  // namespace

bool ShowStatus(const std::string& directory, bool json, bool watch, std::uint32_t refreshes) {
    if (!watch) {
        const std::vector<StatusEntry> entries = ReadStatuses(directory, StatusNowUtc());
        Write(json ? StatusJson(entries, directory) : StatusTable(entries, directory));
        return AllLive(entries);
    }
    const WatchStop stop;
    bool live = false;
    for (std::uint32_t shown = 0;;) {
        const std::vector<StatusEntry> entries = ReadStatuses(directory, StatusNowUtc());
        live = AllLive(entries);
        Redraw(StatusTable(entries, directory) + "(refreshed every second; Ctrl+C ends)\n");
        if (refreshes != 0 && ++shown >= refreshes) break;
        if (stop.Wait(1000)) break;
    }
    return live;
}
