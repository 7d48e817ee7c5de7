#pragma once
// The edge of every export: the body runs inside, and whatever it throws
// becomes the export's documented result, its log line and, for the calls
// whose failures the host reads back, the last-error text. Nothing crosses
// into the host, not even a failure to record the failure.

#include "api/TLYApiImpl.h"
#include "logging/Log.h"

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

// How one export reports a failure. An empty event is not logged; an empty
// last-error text leaves the last error as it is.
struct ExportFailure {
    std::string_view exceptionEvent{};  // a std::exception, logged with its text in "exception"
    std::string_view exceptionMessage{};
    std::string_view unknownEvent{};  // anything else
    std::string_view unknownMessage{};
    std::string_view exceptionLastError{};  // prefix of the exception's text
    std::string_view unknownLastError{};
    LogLevel level = LogLevel::Error;
};

namespace export_boundary {

inline void Record(const ExportFailure& failure, const std::int32_t* panelId, std::string_view event,
                   std::string_view message, const char* exception, std::string_view lastError) {
    if (!lastError.empty()) {
        TLYApiImpl::Instance().SetLastError(exception ? std::string(lastError) + exception : std::string(lastError));
    }
    if (event.empty()) return;
    LogFields fields;
    if (panelId) fields.emplace_back("panel_id", *panelId);
    if (exception) fields.emplace_back("exception", exception);
    LogApiEvent(failure.level, event, message, fields);
}

}  // namespace export_boundary

// Runs one export's body at the edge; false when it failed, after the failure
// was recorded as the export's description says. panelId: the panel the
// export concerns, logged with a failure; null for the process-wide exports.
template <typename Body>
bool AtExportEdge(const std::int32_t* panelId, const ExportFailure& failure, Body&& body) noexcept {
    try {
        try {
            body();
            return true;
        } catch (const std::exception& e) {
            export_boundary::Record(failure, panelId, failure.exceptionEvent, failure.exceptionMessage, e.what(),
                                    failure.exceptionLastError);
        } catch (...) {
            export_boundary::Record(failure, panelId, failure.unknownEvent, failure.unknownMessage, nullptr,
                                    failure.unknownLastError);
        }
    } catch (...) {
        // Recording the failure itself failed (out of memory): the result says it.
    }
    return false;
}
