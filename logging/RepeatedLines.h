#pragma once
// Lines that would fill the log while something stays broken, or while
// nothing changes, so that the default rotation keeps days and not hours.
//
// A failure is written in full the first time; while it repeats, each repeat
// goes out at debug only, and at most once a minute a summary at the
// failure's own level says "still failing since T, N times". A success ends
// the run: the next failure is written in full again.
//
// A routine line (a panel's status reload, a run that found nothing) is
// written at its level once every ten minutes while it stays the same, which
// is enough to show the panel is alive; every occurrence is still written at
// debug. (Once a minute would be 32 panels' lines alone, about 10 MB a day.)
//
// The state is process-wide, with a leaf lock released before any line is written.

#include "logging/Log.h"

#include <string>
#include <string_view>

namespace tly {

constexpr std::uint32_t kRepeatSummaryIntervalMs = 60000;
constexpr std::uint32_t kRoutineIntervalMs = 600000;

// key names what repeats (the event, the error code); lines with the same key
// are one failure. Keys begin with the component, so that a component's
// success can end its own failures.
void LogRepeatedFailure(LogLevel level, std::string_view component, std::string_view event, std::string_view message,
                        const LogFields& fields, const std::string& key);

// "component/event/code/status": a failure's key from its line, the error code
// and HTTP status telling one failure from another, the endpoint not.
std::string RepeatKey(std::string_view component, std::string_view event, const LogFields& fields);

// "component/event/panel/": a failure of one panel's request, so that each
// panel's first failure is written in full and one panel's success ends only
// its own (the final "/" keeps panel 1's key from prefixing panel 10's).
std::string PanelRepeatKey(std::string_view component, std::string_view event, std::int32_t panelId);

// Ends every failure whose key begins with the prefix; the next is written in full.
void EndRepeatedFailures(std::string_view keyPrefix);

// key names whose line it is (the event and the panel); the line counts as
// unchanged while its message and fields are.
void LogRoutine(LogLevel level, std::string_view component, std::string_view event, std::string_view message,
                const LogFields& fields, const std::string& key);

// Tests: forgets every failure and routine line.
void ResetRepeatedLinesForTesting();

}  // namespace tly
