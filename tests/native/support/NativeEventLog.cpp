// The lane's stand-in for the system's Event Log: the attention rules are the
// product's own, their events go to the writer a test installed, and without
// one they are dropped (the lane has no Event Log to write to).

#include "logging/EventLog.h"

#include <atomic>

namespace tly {
namespace {

class DroppedEvents final : public EventLogWriter {
public:
    void Write(EventKind, DWORD, const std::vector<std::string>&) noexcept override {}
};

std::atomic<EventLogWriter*> testWriter{nullptr};

}  // namespace

EventLogWriter& CurrentEventLog() {
    if (EventLogWriter* writer = testWriter.load()) return *writer;
    static DroppedEvents dropped;
    return dropped;
}

void SetEventLogForTesting(EventLogWriter* writer) { testWriter.store(writer); }

}  // namespace tly
