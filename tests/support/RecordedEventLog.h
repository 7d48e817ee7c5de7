#pragma once
// Stands in for the Windows Event Log while it lives: records every event the
// translator would write, and starts the attention rules afresh (their state is
// the process's, shared by every test), as it leaves them.

#include "logging/AttentionEvents.h"
#include "logging/EventLog.h"
#include "platform/Mutex.h"

#include <string>
#include <vector>

namespace tly::test {

struct RecordedEvent {
    EventKind kind;
    DWORD id;
    std::vector<std::string> inserts;
};

class RecordedEventLog final : public EventLogWriter {
public:
    RecordedEventLog() {
        AttentionEvents::Instance().ForgetAllForTesting();
        SetEventLogForTesting(this);
    }
    ~RecordedEventLog() override {
        SetEventLogForTesting(nullptr);
        AttentionEvents::Instance().ForgetAllForTesting();
    }

    void Write(EventKind kind, DWORD eventId, const std::vector<std::string>& inserts) noexcept override {
        MutexLock guard(lock_);
        events_.push_back({kind, eventId, inserts});
    }

    std::vector<RecordedEvent> Events() {
        MutexLock guard(lock_);
        return events_;
    }
    std::vector<RecordedEvent> WithId(DWORD id) {
        std::vector<RecordedEvent> found;
        for (RecordedEvent& event : Events()) {
            if (event.id == id) found.push_back(std::move(event));
        }
        return found;
    }

private:
    Mutex lock_;
    std::vector<RecordedEvent> events_ TLY_GUARDED_BY(lock_);
};

}  // namespace tly::test
