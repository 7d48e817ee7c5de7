#include "translator/badges/BadgeEventFile.h"

#include "logging/DataDirectory.h"
#include "logging/Log.h"
#include "platform/FileAccess.h"
#include "platform/JsonDocument.h"
#include "platform/JsonRead.h"
#include "platform/Mutex.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <ctime>
#include <exception>
#include <limits>
#include <utility>

namespace {

constexpr char kPendingFile[] = "badge_events_pending.json";
constexpr char kSentFile[] = "badge_events_sent.json";

tly::Mutex& PassMutex() {
    static auto* mutex = new tly::Mutex;
    return *mutex;
}

// The array a file holds, or a discarded value when it cannot be read, is not
// JSON or is not an array.
nlohmann::json ReadArray(const std::string& path) {
    std::string text;
    if (!ReadWholeFile(path, text)) return nlohmann::json(nlohmann::json::value_t::discarded);
    nlohmann::json parsed = tly::ParseJsonOrDiscard(text);
    if (parsed.is_discarded() || !parsed.is_array()) return nlohmann::json(nlohmann::json::value_t::discarded);
    return parsed;
}

// Optional members: absent or null take the default; another type (a boolean
// included), or a number that does not fit (which would reach the host as
// another value), throws.
template <typename Integer>
Integer IntegerMember(const nlohmann::json& record, const char* key, Integer fallback) {
    const json_read::IntegerReading<Integer> read = json_read::ReadInteger<Integer>(record, key);
    if (read.found == json_read::Found::Missing || read.found == json_read::Found::Null) return fallback;
    if (read.found == json_read::Found::WrongType || read.fromBoolean) {
        throw std::runtime_error(std::string("member '") + key + "' must be an integer");
    }
    if (read.outOfRange) json_read::ThrowOutOfRange(*read.member, key, sizeof(Integer) * 8);
    return read.value;
}

// An absent member takes the default; any other type, null included, throws.
std::string Text(const nlohmann::json& record, const char* key, const std::string& fallback) {
    const json_read::Reading<std::string> read = json_read::ReadString(record, key);
    if (read.found == json_read::Found::Missing) return fallback;
    if (read.found != json_read::Found::Value) {
        throw std::runtime_error(std::string("member '") + key + "' must be a string");
    }
    return read.value;
}

void MarkHandled(nlohmann::json& record, const std::string& result) {
    record["sent_at"] = LocalTimestamp();
    record["result"] = result;
}

// Records that appeared in the pending file while the pass delivered: what the
// file holds now, less what the pass read at its start (matched by value).
nlohmann::json AddedDuringPass(const nlohmann::json& readAtStart, const nlohmann::json& now) {
    nlohmann::json added = nlohmann::json::array();
    if (now.is_discarded()) return added;
    std::vector<bool> matched(readAtStart.size(), false);
    for (const nlohmann::json& record : now) {
        bool seen = false;
        for (size_t i = 0; i < readAtStart.size() && !seen; ++i) {
            if (!matched[i] && readAtStart[i] == record) matched[i] = seen = true;
        }
        if (!seen) added.push_back(record);
    }
    return added;
}

// Delivers one record of this panel; returns false when it is dropped.
bool HandleRecord(nlohmann::json& record, std::int32_t panelId, const BadgeEventDelivery& deliver) {
    const std::int32_t readerId = IntegerMember<std::int32_t>(record, "reader_id", 0);
    const std::int64_t cardNumber = IntegerMember<std::int64_t>(record, "card_number", 0);
    const std::string type = Text(record, "type", "");
    if (cardNumber == 0 && readerId == 0) {
        LogTranslatorEvent(LogLevel::Warn, "badge.event_skipped_null",
                           "Skipped badge event with null card_number and reader_id");
        return false;
    }
    std::int32_t eventType = IntegerMember<std::int32_t>(record, "event_type", -1);
    std::int32_t eventId = IntegerMember<std::int32_t>(record, "event_id", 0);
    if (eventType < 0) {
        eventType = type == "granted" ? 0 : 1;
        if (eventType == 1) eventId = DenyReasonEventId(Text(record, "deny_reason", "invalid_badge"));
    }
    const std::uint32_t eventTime = BadgeEventTime(Text(record, "timestamp", ""));

    std::string result = "ok";
    try {
        deliver(readerId, cardNumber, eventType, eventId, eventTime);
        LogTranslatorEvent(LogLevel::Info, "badge.event_sent",
                           eventType == 0 ? "Sent access granted event" : "Sent access denied event",
                           {{"card_number", cardNumber},
                            {"reader_id", readerId},
                            {"panel_id", panelId},
                            {"event_type", eventType},
                            {"event_id", eventId}});
    } catch (const std::exception& e) {
        result = std::string("error: ") + e.what();
    } catch (...) {
        result = "error: unknown";
    }
    MarkHandled(record, result);
    return true;
}

// What passes handled that the files do not show yet, because a rewrite
// failed. Kept in this process, so the rewrite is retried at the next pass and
// nothing is delivered again meanwhile.
struct UnwrittenOutcome {
    std::string pendingPath;  // the files it belongs to
    // Pending records (as read) that were handled or dropped but that the
    // pending file may still hold.
    nlohmann::json handled = nlohmann::json::array();
    // Handled records that the sent file does not hold yet.
    nlohmann::json unsent = nlohmann::json::array();
    bool sentFailing = false;
    bool pendingFailing = false;
};

UnwrittenOutcome& Unwritten() {
    static auto* outcome = new UnwrittenOutcome;
    return *outcome;
}

// Removes one element equal to the record from the list; true if there was one.
bool TakeEqual(nlohmann::json& list, const nlohmann::json& record) {
    for (auto it = list.begin(); it != list.end(); ++it) {
        if (*it == record) {
            list.erase(it);
            return true;
        }
    }
    return false;
}

// Writes one of the two files. A failure is logged with the calls that failed
// when it begins, not again at every pass while it lasts.
bool WriteBadgeFile(const std::string& path, const nlohmann::json& content, bool& failing) {
    const FileReplaceResult result = ReplaceFileContents(path, content.dump(2));
    if (result) {
        for (const FileStepFailure& step : result.failedSteps) {
            LogTranslatorEvent(LogLevel::Debug, "badge.file_call_failed", step.call + " failed; written another way",
                               {{"call", step.call}, {"path", step.path}, {"win32_error", step.win32Error}});
        }
        if (failing) {
            LogTranslatorEvent(LogLevel::Info, "badge.file_write_recovered", "Badge event file written again",
                               {{"path", path}});
        }
        failing = false;
        return true;
    }
    if (!failing) {
        for (const FileStepFailure& step : result.failedSteps) {
            LogTranslatorEvent(LogLevel::Warn, "badge.file_call_failed", step.call + " failed",
                               {{"call", step.call}, {"path", step.path}, {"win32_error", step.win32Error}});
        }
        LogTranslatorEvent(LogLevel::Error, "badge.file_write_failed",
                           "Could not write badge event file; retrying at every pass",
                           {{"path", path}, {"win32_error", result.win32Error}});
    }
    failing = true;
    return false;
}

void RunPass(std::int32_t panelId, const BadgeEventDelivery& deliver) {
    const std::string directory = DataDirectory();
    const std::string pendingPath = directory + "\\" + kPendingFile;
    const std::string sentPath = directory + "\\" + kSentFile;

    UnwrittenOutcome& unwritten = Unwritten();
    if (unwritten.pendingPath != pendingPath) unwritten = UnwrittenOutcome{pendingPath};

    const nlohmann::json pending = ReadArray(pendingPath);
    const bool pendingUsable = !pending.is_discarded() && !pending.empty();
    if (!pendingUsable && unwritten.unsent.empty()) return;

    nlohmann::json remaining = nlohmann::json::array();
    nlohmann::json removed = nlohmann::json::array();  // leave the pending file with this pass
    nlohmann::json newlySent = nlohmann::json::array();
    if (!pending.is_discarded()) {
        nlohmann::json handledEarlier = std::exchange(unwritten.handled, nlohmann::json::array());
        for (const nlohmann::json& element : pending) {
            if (TakeEqual(handledEarlier, element) || !element.is_object()) {
                removed.push_back(element);
                continue;
            }
            nlohmann::json record = element;
            try {
                if (IntegerMember<std::int64_t>(record, "panel_id", -1) != panelId) {
                    remaining.push_back(element);
                    continue;
                }
                if (HandleRecord(record, panelId, deliver)) newlySent.push_back(std::move(record));
            } catch (const std::exception& e) {
                // A wrongly typed member: recorded as failed rather than lost
                // silently or retried forever. A record of another panel whose
                // "panel_id" cannot be read is recorded the same way.
                MarkHandled(record, std::string("error: ") + e.what());
                newlySent.push_back(std::move(record));
            }
            removed.push_back(element);
        }
        // Keep what an outside writer appended while this pass was delivering.
        for (nlohmann::json& added : AddedDuringPass(pending, ReadArray(pendingPath))) {
            remaining.push_back(std::move(added));
        }
    }

    // The sent file first: a record must never be missing from both files.
    nlohmann::json sent = ReadArray(sentPath);
    if (sent.is_discarded()) sent = nlohmann::json::array();
    for (const nlohmann::json& record : unwritten.unsent) sent.push_back(record);
    for (const nlohmann::json& record : newlySent) sent.push_back(record);
    if (!WriteBadgeFile(sentPath, sent, unwritten.sentFailing)) {
        for (nlohmann::json& record : newlySent) unwritten.unsent.push_back(std::move(record));
        for (nlohmann::json& element : removed) unwritten.handled.push_back(std::move(element));
        return;
    }
    unwritten.unsent = nlohmann::json::array();
    if (pendingUsable && !WriteBadgeFile(pendingPath, remaining, unwritten.pendingFailing)) {
        unwritten.handled = std::move(removed);
    }
}

}  // namespace

std::int32_t DenyReasonEventId(const std::string& reason) {
    if (reason == "inactive_badge") return 8;
    if (reason == "invalid_access_level") return 7;
    if (reason == "passback") return 21;
    if (reason == "unauthorized_time") return 24;
    return 4;  // "invalid_badge" and anything else
}

std::uint32_t BadgeEventTime(const std::string& timestamp) {
    if (timestamp.empty()) return 0;
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (std::sscanf(timestamp.c_str(), "%d-%d-%dT%d:%d:%d", &year, &month, &day, &hour, &minute, &second) != 6) {
        return 0;
    }
    // The calendar counts years from 1900 and months from 0: a number at the
    // end of int's range has no such form, and no time either.
    if (year < std::numeric_limits<int>::min() + 1900 || month < std::numeric_limits<int>::min() + 1) {
        return 0xFFFFFFFF;
    }
    std::tm calendar{};
    calendar.tm_year = year - 1900;
    calendar.tm_mon = month - 1;
    calendar.tm_mday = day;
    calendar.tm_hour = hour;
    calendar.tm_min = minute;
    calendar.tm_sec = second;
    const time_t seconds = _mkgmtime(&calendar);
    return static_cast<std::uint32_t>(seconds);  // -1 on failure becomes 0xFFFFFFFF
}

void RunBadgeEventFilePass(std::int32_t panelId, const BadgeEventDelivery& deliver) {
    try {
        // Held across the deliveries, which call the host: a nested or
        // concurrent pass only tries the lock and skips, so it cannot
        // deadlock, and the next poll runs it again.
        tly::Mutex& passes = PassMutex();
        if (!passes.TryLock()) return;
        const tly::MutexLock pass(passes, tly::kAdoptLock);
        RunPass(panelId, deliver);
    } catch (...) {
        // Out of memory or a serialisation failure: the files stay as they were.
    }
}
