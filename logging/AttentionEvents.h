#pragma once
// The situations that need a person, raised in the Event Log (EventLog.h) for
// a site's monitoring: a panel offline for more than 60 s and back, an
// activity held back, a settings file that does not load, a delivery journal
// damaged or full, and the event channel down for more than 10 minutes while
// REST works. The log file says all of this too, in more words; this is the
// part a monitor can filter on without reading it.
//
// Each event is written once per change, and never more than once per kind
// and panel in 10 minutes while the situation lasts (a flapping panel, a start
// that repeats). The time rules are checked at the host's polls, on the
// process clock: no thread of its own.
//
// Owns its state and its lock, a leaf: nothing is taken under it, and the
// events are written after it is let go.

#include "logging/EventLog.h"
#include "platform/Mutex.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class AttentionEvents {
public:
    static AttentionEvents& Instance();

    static constexpr std::uint32_t kPanelOfflineMs = 60 * 1000;
    static constexpr std::uint32_t kChannelDownMs = 10 * 60 * 1000;
    static constexpr std::uint32_t kQuietMs = 10 * 60 * 1000;  // per kind and panel

    // What a panel's connection check answered, at every poll; the cause in
    // words when it is down (the "panel.link_lost" line's).
    void NotePanelLink(std::int32_t panelId, bool up, const std::string& cause) noexcept TLY_EXCLUDES(lock_);
    // A closed panel starts afresh when it is opened again.
    void ForgetPanel(std::int32_t panelId) TLY_EXCLUDES(lock_);

    // At every health check: whether the event channel is down while REST works.
    void NoteChannel(bool downWhileRestWorks) noexcept TLY_EXCLUDES(lock_);

    struct HeldActivity {
        std::int32_t panelId = 0;
        std::int32_t admId = 0;
    };
    // At each start of the delivery journal: the activities it holds back.
    void HeldBack(const std::vector<HeldActivity>& held) noexcept TLY_EXCLUDES(lock_);

    // The settings file could not be loaded; where: its path (and line, column).
    void SettingsUnloadable(bool atReload, const std::string& reason, const std::string& place) noexcept
        TLY_EXCLUDES(lock_);

    void JournalDamaged(const std::string& reason, const std::string& path) noexcept TLY_EXCLUDES(lock_);
    void JournalFull(std::int32_t panelId, const std::string& reason) noexcept TLY_EXCLUDES(lock_);

    // Every state and every quiet interval (tests, which share the instance).
    void ForgetAllForTesting() TLY_EXCLUDES(lock_);

private:
    enum class Kind { PanelOffline, PanelBack, HeldBack, SettingsAtStart, SettingsAtReload, JournalDamaged, JournalFull,
                      ChannelDown };
    struct Outage {
        std::uint32_t sinceTick = 0;
        std::string since;  // local time
        std::string cause;
        bool raised = false;
    };

    // A situation said once: written unless its kind was, for this panel, in
    // the last 10 minutes.
    void RaiseUnlessQuiet(Kind kind, std::int32_t panelId, tly::EventKind type, DWORD id,
                          std::vector<std::string> inserts) noexcept TLY_EXCLUDES(lock_);
    // Whether the kind may be raised for the panel now; if so, it counts as raised.
    bool MayRaiseLocked(Kind kind, std::int32_t panelId, std::uint32_t now) TLY_REQUIRES(lock_);

    tly::Mutex lock_;
    std::map<std::int32_t, Outage> offline_ TLY_GUARDED_BY(lock_);
    bool channelDown_ TLY_GUARDED_BY(lock_) = false;
    Outage channel_ TLY_GUARDED_BY(lock_);
    std::map<std::pair<Kind, std::int32_t>, std::uint32_t> lastRaised_ TLY_GUARDED_BY(lock_);
};
