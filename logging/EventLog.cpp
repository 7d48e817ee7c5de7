#include "logging/EventLog.h"

#include "TallyportVersion.h"

#include "logging/Log.h"
#include "platform/Mutex.h"
#include "platform/TextConversion.h"
#include "platform/UniqueResource.h"

#include <atomic>

namespace tly {
namespace {

// The source's name, the product's (product.ini), as the installer and
// install.cmd register it under
// HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application.
constexpr wchar_t kEventSourceName[] = L"" TLY_PRODUCT_NAME;

// The source is registered on first use and kept for the process's life; a
// source the installation never registered still works (the Event Viewer
// then shows the texts without their message), so a failure here is rare.
class SystemEventLog final : public EventLogWriter {
public:
    void Write(EventKind kind, DWORD eventId, const std::vector<std::string>& inserts) noexcept override {
        bool failed = false;
        DWORD error = ERROR_SUCCESS;
        try {
            std::vector<std::wstring> wide;
            wide.reserve(inserts.size());
            for (const std::string& text : inserts) wide.push_back(Utf8ToWide(text));
            std::vector<LPCWSTR> strings;
            strings.reserve(wide.size());
            for (const std::wstring& text : wide) strings.push_back(text.c_str());

            // A leaf: only the registration and the write are made under it.
            MutexLock guard(lock_);
            if (!source_) source_.reset(::RegisterEventSourceW(nullptr, kEventSourceName));
            if (!source_) {
                failed = true;
                error = ::GetLastError();
            } else if (!::ReportEventW(source_.get(), static_cast<WORD>(kind), 0, eventId, nullptr,
                                       static_cast<WORD>(strings.size()), 0,
                                       strings.empty() ? nullptr : strings.data(), nullptr)) {
                failed = true;
                error = ::GetLastError();
            }
        } catch (...) {
            failed = true;  // no memory for the texts: the event is dropped
        }
        if (failed && !toldOfFailure_.exchange(true)) {
            LogEvent(LogLevel::Debug, "eventlog", "eventlog.write_failed",
                     "Could not write to the Windows Event Log; its events are dropped, the log keeps them",
                     {{"event_id", static_cast<std::int64_t>(eventId)},
                      {"win32_error", static_cast<std::int64_t>(error)}});
        }
    }

private:
    Mutex lock_;
    UniqueEventSource source_ TLY_GUARDED_BY(lock_);
    std::atomic<bool> toldOfFailure_{false};
};

std::atomic<EventLogWriter*> testWriter{nullptr};

}  // namespace

EventLogWriter& CurrentEventLog() {
    if (EventLogWriter* writer = testWriter.load()) return *writer;
    // Never destroyed: an event may be written while the process exits.
    static auto* system = new SystemEventLog;
    return *system;
}

void SetEventLogForTesting(EventLogWriter* writer) { testWriter.store(writer); }

}  // namespace tly
