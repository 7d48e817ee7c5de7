#pragma once
// The bench's measures, one section each. A section runs its children through
// the BenchRun and adds its rows to the table; its children are the programs
// that measure, each in a process of its own. A new measure is a new section
// file and one line in each list of BenchMain.cpp.

#include "tools/bench/BenchRun.h"
#include "tools/bench/ReportTable.h"

namespace bench {

// Drain throughput at log levels none, info and debug, beside the floor; and
// how long host calls last against a backlog far longer than a call may.
void MeasureDrain(BenchRun& run, ReportTable& table);
nlohmann::json FloorDrainChild(const nlohmann::json& params);
nlohmann::json DllDrainChild(const nlohmann::json& params);
nlohmann::json DllHostCallBoundChild(const nlohmann::json& params);

// From "activities_available" sent to the activity in the host's hands.
void MeasureNotification(BenchRun& run, ReportTable& table);
nlohmann::json FloorNotificationChild(const nlohmann::json& params);
nlohmann::json DllNotificationChild(const nlohmann::json& params);

// Requests and CPU time of a connected, idle panel polled as the host polls.
void MeasureIdle(BenchRun& run, ReportTable& table);
nlohmann::json DllIdleChild(const nlohmann::json& params);

// Memory, handles and threads after 1,000, 10,000 and 50,000 activities.
void MeasureMemory(BenchRun& run, ReportTable& table);
nlohmann::json DllMemoryChild(const nlohmann::json& params);

// From a fresh process's LoadLibrary to the first successful connect.
void MeasureStartup(BenchRun& run, ReportTable& table);
nlohmann::json FloorStartupChild(const nlohmann::json& params);
nlohmann::json DllStartupChild(const nlohmann::json& params);

// 1, 8 and 32 panels polling and asking for status every second on a site of
// 5,000 doors, 20,000 readers and 500 handhelds, beside the four-list floor.
void MeasureLargeSite(BenchRun& run, ReportTable& table);
nlohmann::json FloorLargeSiteChild(const nlohmann::json& params);
nlohmann::json DllLargeSiteChild(const nlohmann::json& params);

// The delivery journal's cost per activity and its file's size at 10,000,
// 100,000 and 1,000,000 ids taken and not marked.
void MeasureJournal(BenchRun& run, ReportTable& table);
nlohmann::json JournalChild(const nlohmann::json& params);

// The DLL file and its separate debug file.
void MeasureDllSize(BenchRun& run, ReportTable& table);

}  // namespace bench
