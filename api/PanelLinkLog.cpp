#include "api/PanelLinkLog.h"

#include "logging/AttentionEvents.h"
#include "logging/Log.h"
#include "platform/Clock.h"
#include "transport/WinHttpSupport.h"

#include <algorithm>
#include <vector>

namespace {

LogFields CauseFields(std::int32_t panelId, const TransportTrouble& trouble, const std::string& lastError) {
    LogFields fields{{"panel_id", panelId}};
    if (trouble.cause == TroubleCause::None) {
        // The check failed without a request that failed: nothing connected yet.
        fields.emplace_back("cause", "not_connected");
        fields.emplace_back("cause_text", lastError.empty() ? std::string("not connected") : lastError);
        return fields;
    }
    fields.emplace_back("cause", TroubleCauseName(trouble.cause));
    fields.emplace_back("cause_text", DescribeTrouble(trouble));
    if (trouble.win32Error != 0) {
        fields.emplace_back("win32_error", trouble.win32Error);
        if (const char* name = tly::WinHttpErrorName(trouble.win32Error)) {
            fields.push_back(LogField(std::string("win32_error_name"), nlohmann::json(std::string(name))));
        }
    }
    if (trouble.statusCode != 0) fields.emplace_back("status_code", trouble.statusCode);
    if (!trouble.concerning.empty()) fields.emplace_back("endpoint", trouble.concerning);
    return fields;
}

}  // namespace

void PanelLinkLog::Note(std::int32_t panelId, bool up, const TransportTrouble& trouble, const std::string& lastError) {
    Link before = Link::Unknown;
    bool changed = false;
    Trouble was;  // copied only for a change, which is rare: this runs at every poll
    {
        tly::MutexLock guard(lock_);
        Link& link = panels_[panelId];
        before = link;
        link = up ? Link::Up : Link::Down;
        if (!up && !troubled_) {
            troubled_ = true;
            trouble_ = {LocalTimestamp(), tly::CurrentClock().TickCount(), trouble, lastError};
        }
        if (before != link) {
            StatusSources::Link& shown = shown_[panelId];
            shown.link = up ? "up" : "down";
            shown.since = StatusTime(tly::CurrentClock().UtcTime());
        }
        changed = up ? before == Link::Down : before != Link::Down;
        if (changed) was = trouble_;
        // The trouble is over when no open panel is down any more.
        if (up && troubled_ &&
            std::none_of(panels_.begin(), panels_.end(), [](const auto& p) { return p.second == Link::Down; })) {
            troubled_ = false;
        }
    }
    // At every check: the Event Log's rule counts the time offline (the cause
    // is the lost line's, taken when the link is lost).
    if (!changed) {
        AttentionEvents::Instance().NotePanelLink(panelId, up, {});
        return;
    }

    if (up && before == Link::Down) {
        LogFields fields = CauseFields(panelId, was.first, was.lastError);
        fields.emplace_back("offline_since", was.since);
        fields.emplace_back("offline_seconds", (tly::CurrentClock().TickCount() - was.sinceTick) / 1000);
        LogApiEvent(LogLevel::Info, "panel.link_restored", "Panel's connection to Tallyport is back", fields);
        AttentionEvents::Instance().NotePanelLink(panelId, true, {});
    } else if (!up && before != Link::Down) {
        LogFields fields = CauseFields(panelId, was.first, was.lastError);
        fields.emplace_back("since", was.since);
        const std::string cause = fields[2].value.get<std::string>();  // cause_text
        {
            tly::MutexLock guard(lock_);
            if (auto shown = shown_.find(panelId); shown != shown_.end()) {
                shown->second.lossCause = fields[1].value.get<std::string>();  // cause
                shown->second.lossCauseText = cause;
                shown->second.lossAt = shown->second.since;
            }
        }
        LogApiEvent(LogLevel::Warn, "panel.link_lost", "Panel lost its connection to Tallyport: " + cause, fields);
        AttentionEvents::Instance().NotePanelLink(panelId, false, cause);
    }
}

std::map<std::int32_t, StatusSources::Link> PanelLinkLog::Snapshot() const {
    tly::MutexLock guard(lock_);
    return shown_;
}

void PanelLinkLog::Forget(std::int32_t panelId) {
    {
        tly::MutexLock guard(lock_);
        panels_.erase(panelId);
        shown_.erase(panelId);
    }
    AttentionEvents::Instance().ForgetPanel(panelId);
}

void PanelLinkLog::ForgetAll() {
    tly::MutexLock guard(lock_);
    panels_.clear();
    shown_.clear();
    troubled_ = false;
}
