#pragma once
// Where the translator's events for people go: the Windows Event Log, under
// the source the installation registers (see EventMessages.mc for the ids and
// texts, AttentionEvents.h for when each is written). A seam: tests install a
// writer of their own and see exactly what would be written.
//
// Writing never blocks the caller beyond the system call, never throws, and a
// failure is dropped (one debug line in the process's life): the log file
// keeps saying what happened either way.

#include <windows.h>

#include <string>
#include <vector>

namespace tly {

enum class EventKind : WORD {
    Error = EVENTLOG_ERROR_TYPE,
    Warning = EVENTLOG_WARNING_TYPE,
    Information = EVENTLOG_INFORMATION_TYPE,
};

class EventLogWriter {
public:
    virtual ~EventLogWriter() = default;
    // One event: its id in the message table and the texts for %1, %2, ...
    virtual void Write(EventKind kind, DWORD eventId, const std::vector<std::string>& inserts) noexcept = 0;
};

// The writer in force: the system's Event Log unless a test installed another.
EventLogWriter& CurrentEventLog();

// Installs a writer for tests; null restores the system's. The caller keeps
// ownership and must outlive every use.
void SetEventLogForTesting(EventLogWriter* writer);

}  // namespace tly
