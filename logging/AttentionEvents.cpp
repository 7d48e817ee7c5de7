#include "logging/AttentionEvents.h"

#include "EventMessages.h"
#include "logging/EventLog.h"
#include "logging/Log.h"
#include "platform/Clock.h"

namespace {

struct Pending {
    tly::EventKind kind;
    DWORD id;
    std::vector<std::string> inserts;
};

void Write(const Pending& event) { tly::CurrentEventLog().Write(event.kind, event.id, event.inserts); }

// The rules run on the callers' paths (a poll, a journal's start, a load): a
// failure of their own (no memory) loses the event, never the caller's work.
template <typename Body>
void NeverThrows(Body&& body) noexcept {
    try {
        body();
    } catch (...) {
    }
}

std::string ReleaseCommand(std::int32_t panelId, std::int32_t admId) {
    return "tallyport-check --release-held " + std::to_string(panelId) + ":" + std::to_string(admId);
}

}  // namespace

AttentionEvents& AttentionEvents::Instance() {
    // Never destroyed: a poll may run while the process exits.
    static auto* instance = new AttentionEvents;
    return *instance;
}

bool AttentionEvents::MayRaiseLocked(Kind kind, std::int32_t panelId, std::uint32_t now) {
    auto [last, first] = lastRaised_.try_emplace({kind, panelId}, now);
    if (first) return true;
    if (now - last->second < kQuietMs) return false;  // wrap-safe
    last->second = now;
    return true;
}

void AttentionEvents::NotePanelLink(std::int32_t panelId, bool up, const std::string& cause) noexcept {
    NeverThrows([&] {
        std::optional<Pending> event;
        {
            const std::uint32_t now = tly::CurrentClock().TickCount();
            tly::MutexLock guard(lock_);
            auto outage = offline_.find(panelId);
            if (up) {
                if (outage == offline_.end()) return;
                const Outage was = outage->second;
                offline_.erase(outage);
                // Back is worth saying only after offline was said.
                if (!was.raised || !MayRaiseLocked(Kind::PanelBack, panelId, now)) return;
                event = Pending{tly::EventKind::Information, TLY_EVENT_PANEL_BACK,
                                {std::to_string(panelId), std::to_string((now - was.sinceTick) / 1000)}};
            } else {
                if (outage == offline_.end()) {
                    offline_[panelId] = Outage{now, LocalTimestamp(), cause, false};
                    return;
                }
                Outage& current = outage->second;
                if (current.raised || now - current.sinceTick <= kPanelOfflineMs) return;
                current.raised = MayRaiseLocked(Kind::PanelOffline, panelId, now);
                if (!current.raised) return;
                event = Pending{tly::EventKind::Warning, TLY_EVENT_PANEL_OFFLINE,
                                {std::to_string(panelId), current.cause, current.since}};
            }
        }
        Write(*event);
    });
}

void AttentionEvents::ForgetPanel(std::int32_t panelId) {
    tly::MutexLock guard(lock_);
    offline_.erase(panelId);
}

void AttentionEvents::NoteChannel(bool downWhileRestWorks) noexcept {
    NeverThrows([&] {
        std::optional<Pending> event;
        {
            const std::uint32_t now = tly::CurrentClock().TickCount();
            tly::MutexLock guard(lock_);
            if (!downWhileRestWorks) {
                channelDown_ = false;
                return;
            }
            if (!channelDown_) {
                channelDown_ = true;
                channel_ = Outage{now, LocalTimestamp(), {}, false};
                return;
            }
            if (channel_.raised || now - channel_.sinceTick <= kChannelDownMs) return;
            channel_.raised = MayRaiseLocked(Kind::ChannelDown, 0, now);
            if (!channel_.raised) return;
            event = Pending{tly::EventKind::Warning, TLY_EVENT_CHANNEL_DOWN, {channel_.since}};
        }
        Write(*event);
    });
}

// One event per panel, for its first activity held back, with how many it holds.
void AttentionEvents::HeldBack(const std::vector<HeldActivity>& held) noexcept {
    NeverThrows([&] {
        std::vector<Pending> events;
        {
            const std::uint32_t now = tly::CurrentClock().TickCount();
            std::map<std::int32_t, std::pair<std::int32_t, std::size_t>> byPanel;  // first id, count
            for (const HeldActivity& activity : held) {
                auto [entry, first] = byPanel.try_emplace(activity.panelId, activity.admId, 0);
                ++entry->second.second;
            }
            tly::MutexLock guard(lock_);
            for (const auto& [panelId, first] : byPanel) {
                if (!MayRaiseLocked(Kind::HeldBack, panelId, now)) continue;
                const auto [admId, count] = first;
                events.push_back({tly::EventKind::Error, TLY_EVENT_ACTIVITY_HELD_BACK,
                                  {std::to_string(panelId), std::to_string(admId), ReleaseCommand(panelId, admId),
                                   std::to_string(count)}});
            }
        }
        for (const Pending& event : events) Write(event);
    });
}

void AttentionEvents::RaiseUnlessQuiet(Kind kind, std::int32_t panelId, tly::EventKind type, DWORD id,
                                       std::vector<std::string> inserts) noexcept {
    NeverThrows([&] {
        {
            const std::uint32_t now = tly::CurrentClock().TickCount();
            tly::MutexLock guard(lock_);
            if (!MayRaiseLocked(kind, panelId, now)) return;
        }
        Write({type, id, std::move(inserts)});
    });
}

void AttentionEvents::SettingsUnloadable(bool atReload, const std::string& reason, const std::string& place) noexcept {
    NeverThrows([&] {
        RaiseUnlessQuiet(atReload ? Kind::SettingsAtReload : Kind::SettingsAtStart, 0, tly::EventKind::Error,
                         atReload ? TLY_EVENT_SETTINGS_UNLOADABLE_AT_RELOAD : TLY_EVENT_SETTINGS_UNLOADABLE_AT_START,
                         {reason, place});
    });
}

void AttentionEvents::JournalDamaged(const std::string& reason, const std::string& path) noexcept {
    NeverThrows([&] {
        RaiseUnlessQuiet(Kind::JournalDamaged, 0, tly::EventKind::Error, TLY_EVENT_JOURNAL_DAMAGED, {reason, path});
    });
}

void AttentionEvents::JournalFull(std::int32_t panelId, const std::string& reason) noexcept {
    NeverThrows([&] {
        RaiseUnlessQuiet(Kind::JournalFull, panelId, tly::EventKind::Error, TLY_EVENT_JOURNAL_FULL,
                         {std::to_string(panelId), reason});
    });
}

void AttentionEvents::ForgetAllForTesting() {
    tly::MutexLock guard(lock_);
    offline_.clear();
    channelDown_ = false;
    lastRaised_.clear();
}
