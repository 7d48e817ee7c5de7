#include "logging/RepeatedLines.h"

#include "platform/Clock.h"
#include "platform/Mutex.h"

#include <map>

namespace tly {
namespace {

struct Failure {
    std::string since;  // local time of the full line
    std::uint32_t lastSummaryTick = 0;
    std::uint64_t count = 1;  // occurrences since the full line, it included
};

struct Routine {
    std::string written;  // message and fields of the last line written at its level
    std::uint32_t writtenTick = 0;
};

struct State {
    tly::Mutex lock;
    std::map<std::string, Failure, std::less<>> failures TLY_GUARDED_BY(lock);
    std::map<std::string, Routine, std::less<>> routines TLY_GUARDED_BY(lock);
};

State& Lines() {
    static auto* state = new State;  // never destroyed: lines may be written during exit
    return *state;
}

std::string Signature(std::string_view message, const LogFields& fields) {
    std::string text(message);
    for (const LogField& field : fields) {
        text += '\n';
        text += field.key;
        text += '=';
        text += field.value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    }
    return text;
}

}  // namespace

void LogRepeatedFailure(LogLevel level, std::string_view component, std::string_view event, std::string_view message,
                        const LogFields& fields, const std::string& key) {
    if (!IsLogLevelEnabled(level) && !IsLogLevelEnabled(LogLevel::Debug)) return;
    enum class Write { Full, Repeat, Summary } write = Write::Full;
    Failure summary;
    try {
        const std::uint32_t now = CurrentClock().TickCount();
        State& state = Lines();
        tly::MutexLock guard(state.lock);
        auto found = state.failures.find(key);
        if (found == state.failures.end()) {
            state.failures.emplace(key, Failure{LocalTimestamp(), now, 1});
        } else {
            Failure& failure = found->second;
            ++failure.count;
            write = Write::Repeat;
            if (now - failure.lastSummaryTick >= kRepeatSummaryIntervalMs) {  // unsigned: wrap-safe
                failure.lastSummaryTick = now;
                write = Write::Summary;
            }
            summary = failure;
        }
    } catch (...) {
        write = Write::Full;  // out of memory: rather too many lines than none
    }

    if (write == Write::Full) {
        LogEvent(level, component, event, message, fields);
        return;
    }
    // Every occurrence stays at debug, for whoever needs each one.
    LogEvent(LogLevel::Debug, component, event, message, fields);
    if (write != Write::Summary || !IsLogLevelEnabled(level)) return;
    try {
        LogFields summarised = fields;
        summarised.emplace_back("repeated_event", std::string(event));
        summarised.emplace_back("since", summary.since);
        summarised.emplace_back("count", summary.count);
        LogEvent(level, component, "still_failing",
                 "still failing since " + summary.since + ", " + std::to_string(summary.count) + " times: " +
                     std::string(message),
                 summarised);
    } catch (...) {
    }
}

std::string RepeatKey(std::string_view component, std::string_view event, const LogFields& fields) {
    std::string key(component);
    key += '/';
    key += event;
    for (const char* distinguishing : {"win32_error", "status_code", "actual"}) {
        for (const LogField& field : fields) {
            if (field.key != distinguishing) continue;
            key += '/';
            key += field.value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
        }
    }
    return key;
}

std::string PanelRepeatKey(std::string_view component, std::string_view event, std::int32_t panelId) {
    std::string key(component);
    key += '/';
    key += event;
    key += '/';
    key += std::to_string(panelId);
    key += '/';
    return key;
}

void EndRepeatedFailures(std::string_view keyPrefix) {
    try {
        State& state = Lines();
        tly::MutexLock guard(state.lock);
        if (state.failures.empty()) return;
        for (auto it = state.failures.lower_bound(keyPrefix); it != state.failures.end();) {
            if (it->first.compare(0, keyPrefix.size(), keyPrefix) != 0) break;
            it = state.failures.erase(it);
        }
    } catch (...) {
    }
}

void LogRoutine(LogLevel level, std::string_view component, std::string_view event, std::string_view message,
                const LogFields& fields, const std::string& key) {
    if (!IsLogLevelEnabled(LogLevel::Debug) && !IsLogLevelEnabled(level)) return;
    bool atLevel = true;
    try {
        if (IsLogLevelEnabled(level)) {
            const std::string signature = Signature(message, fields);
            const std::uint32_t now = CurrentClock().TickCount();
            State& state = Lines();
            tly::MutexLock guard(state.lock);
            Routine& routine = state.routines[key];
            if (routine.written == signature && now - routine.writtenTick < kRoutineIntervalMs) {
                atLevel = false;
            } else {
                routine.written = signature;
                routine.writtenTick = now;
            }
        }
    } catch (...) {
    }
    LogEvent(atLevel ? level : LogLevel::Debug, component, event, message, fields);
}

void ResetRepeatedLinesForTesting() {
    State& state = Lines();
    tly::MutexLock guard(state.lock);
    state.failures.clear();
    state.routines.clear();
}

}  // namespace tly
