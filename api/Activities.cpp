// Pending activity processing: fetch each open panel's activities in batches,
// hand each to the translator's call-backs with host event codes, and mark
// the batch processed only after its call-backs have returned.
//
// Every activity reaches the host once while the process lives: an activity
// that cannot be read exactly as sent is set aside (neither delivered nor
// marked) without failing its batch-mates; an activity already handed to the
// host whose mark failed is marked again without a second delivery (the
// redelivery ledger); and an activity whose panel has no translator, or was
// closed meanwhile, stays pending on the server.
//
// Everything here runs once per activity: a log line's fields are built only
// when the line will be written.

#include "api/ActivityCodes.h"
#include "api/DeliveryPanel.h"
#include "api/TLYApiImpl.h"
#include "logging/Log.h"
#include "platform/Clock.h"
#include "platform/TextConversion.h"

#include <exception>
#include <functional>
#include <set>

namespace {

// A panel's batch loop stops after this long within one run; the next run
// goes on where it stopped. A loop also stops when a batch made no progress.
constexpr std::uint32_t kMostRunMsPerPanel = 10000;
constexpr size_t kAlarmTextLimit = 2000;

// Cut to the byte limit (which may split a character: the conversion then
// yields a replacement character) and convert up to the first 0 byte.
std::wstring AlarmText(std::string text, size_t& byteLength) {
    if (text.size() > kAlarmTextLimit) text.resize(kAlarmTextLimit);
    byteLength = text.size();
    return tly::Utf8ToWide(std::string_view(text.c_str()));
}

std::string JoinIds(const std::vector<std::int32_t>& ids) {
    std::string joined;
    for (size_t i = 0; i < ids.size(); ++i) {
        if (i) joined += ",";
        joined += std::to_string(ids[i]);
    }
    return joined;
}

// What one batch came to.
struct BatchResult {
    std::vector<std::int32_t> markIds;    // in the order processed
    std::vector<std::int32_t> handedIds;  // handed to the host in this batch
    std::vector<std::int32_t> suppressedIds;
    bool panelClosed = false;
};

// Every id the batch names, malformed activities' included.
std::set<std::int32_t> ReadableIds(const PendingBatch& batch) {
    std::set<std::int32_t> ids;
    for (const PendingActivity& activity : batch.activities) ids.insert(activity.admId);
    for (const MalformedActivity& activity : batch.malformed) {
        if (activity.admId) ids.insert(*activity.admId);
    }
    return ids;
}

}  // namespace

void TLYApiImpl::ProcessPanelActivities(std::int32_t panelId, std::int64_t& processedCount) {
    DeliveryPanelScope delivering(panelId);
    const std::string endpoint = "/pending_activities/" + std::to_string(panelId);
    const std::uint32_t started = tly::CurrentClock().TickCount();
    for (int batch = 1;; ++batch) {
        // A batch's lines, one per activity at level info, go to the file in
        // one write when the batch is done; warnings and errors at once.
        const LogBatch batchLines;
        if (!IsPanelOpen(panelId)) return;
        std::string response;
        if (!restClient.GetWithRetry(endpoint, response)) {
            LogApiEvent(LogLevel::Error, "activities.fetch_failed", "Failed to fetch pending activities",
                        {{"panel_id", panelId}, {"endpoint", endpoint}, {"response", response}});
            return;
        }
        PendingBatch parsed;
        try {
            parsed = ParsePendingBatch(response);
        } catch (const std::exception& e) {
            LogApiEvent(LogLevel::Error, "activities.parse_failed", "Failed to parse activities response",
                        {{"exception", e.what()}});
            return;
        }
        if (parsed.remainingCount <= 0) ledger.ForgetAllBut(panelId, ReadableIds(parsed));
        if (parsed.empty) return;
        ReportMalformedActivities(panelId, parsed.malformed);

        BatchResult result;
        std::set<std::int32_t> inThisBatch;
        for (const PendingActivity& activity : parsed.activities) {
            std::int32_t actualPanel = 0;
            std::int32_t readerIndex = 0;
            if (!activity.readerExternalId.empty() &&
                !ParseReaderExternalId(activity.readerExternalId, actualPanel, readerIndex)) {
                LogApiEvent(LogLevel::Warn, "activities.invalid_reader_external_id",
                            "Skipping activity with malformed reader_external_id",
                            {{"adm_id", activity.admId}, {"reader_external_id", activity.readerExternalId}});
                continue;
            }
            if (actualPanel != panelId) {
                LogApiEvent(LogLevel::Warn, "activities.panel_mismatch",
                            "Activity does not belong to this panel, leaving unprocessed",
                            {{"adm_id", activity.admId},
                             {"reader_external_id", activity.readerExternalId},
                             {"expected_panel_id", panelId},
                             {"actual_panel_id", actualPanel}});
                continue;
            }
            // The same id twice in one batch is one activity.
            if (!inThisBatch.insert(activity.admId).second) continue;
            if (ledger.Contains(panelId, activity.admId)) {
                result.suppressedIds.push_back(activity.admId);
                result.markIds.push_back(activity.admId);
                continue;
            }
            const ActivityContext context{readerIndex, ActivityEventTime(activity.timestamp)};
            const Delivery delivery = DeliverActivity(panelId, activity, context, delivering);
            if (delivery == Delivery::PanelClosed) {
                result.panelClosed = true;
                break;
            }
            if (delivery == Delivery::Refused) continue;
            result.markIds.push_back(activity.admId);
            result.handedIds.push_back(activity.admId);
        }
        processedCount += static_cast<std::int64_t>(result.markIds.size());

        if (!result.suppressedIds.empty()) {
            LogApiEvent(LogLevel::Info, "activities.redelivery_suppressed",
                        "Activities already delivered are marked again without a second delivery",
                        {{"panel_id", panelId},
                         {"count", static_cast<std::int64_t>(result.suppressedIds.size())},
                         {"ids", JoinIds(result.suppressedIds)}});
        }

        bool progressed = false;
        if (!result.markIds.empty()) {
            const std::string ids = JoinIds(result.markIds);
            std::string markResponse;
            progressed = restClient.PostWithRetry("/activities/batch_processed?ids=" + ids, markResponse);
            if (progressed) {
                ledger.Forget(panelId, result.markIds);
            } else {
                ledger.Remember(panelId, result.handedIds);
                LogApiEvent(LogLevel::Error, "activities.batch_mark_failed",
                            "Failed to mark activity batch as processed", {{"ids", ids}, {"response", markResponse}});
            }
        }

        if (result.panelClosed) return;
        if (parsed.remainingCount <= 0) return;
        // The server would hand out the same batch again: stop until the next run.
        if (!progressed) {
            LogApiEvent(LogLevel::Warn, "activities.no_progress",
                        "Batch left every activity pending; fetching again on the next run",
                        {{"panel_id", panelId}, {"remaining", parsed.remainingCount}});
            return;
        }
        if (tly::CurrentClock().TickCount() - started >= kMostRunMsPerPanel) {  // unsigned: wrap-safe
            LogApiEvent(LogLevel::Warn, "activities.run_time_limit",
                        "Run time limit reached for this panel; continuing on the next run",
                        {{"panel_id", panelId}, {"batches", batch}, {"remaining", parsed.remainingCount}});
            return;
        }
        if (IsLogLevelEnabled(LogLevel::Debug)) {
            LogApiEvent(LogLevel::Debug, "activities.more_remaining", "Fetching next batch",
                        {{"remaining", parsed.remainingCount}});
        }
    }
}

// Logged once per panel and id in a process: such an activity stays on the
// server and comes back at every run.
void TLYApiImpl::ReportMalformedActivities(std::int32_t panelId, const std::vector<MalformedActivity>& malformed) {
    for (const MalformedActivity& activity : malformed) {
        const std::uint64_t key = activity.admId ? static_cast<std::uint32_t>(*activity.admId)
                                                 : (std::uint64_t{1} << 32) | std::hash<std::string>{}(activity.text);
        if (!malformedReported.First(panelId, key)) continue;
        LogFields fields{{"panel_id", panelId}, {"activity", activity.text}, {"exception", activity.reason}};
        if (activity.admId) fields.emplace_back("adm_id", *activity.admId);
        LogApiEvent(LogLevel::Error, "activities.malformed",
                    "Malformed activity left pending: neither delivered nor marked", fields);
    }
}

// Hands one activity to its call-back, unless its panel was closed meanwhile.
// A close waits for a delivery under way, so the panel either gets it before
// its close returns or the activity stays pending.
TLYApiImpl::Delivery TLYApiImpl::DeliverActivity(std::int32_t panelId, const PendingActivity& activity,
                                                 const ActivityContext& context, DeliveryPanelScope& scope) {
    if (!BeginPanelDelivery(panelId)) return Delivery::PanelClosed;
    struct End {
        TLYApiImpl& api;
        std::int32_t panelId;
        ~End() { api.EndPanelDelivery(panelId); }
    } end{*this, panelId};

    scope.TakeRefusal();
    if (activity.IsAlarm()) {
        HandleAlarm(activity, context);
    } else {
        HandleBadgeActivity(activity, context);
    }
    if (!scope.TakeRefusal()) return Delivery::Handed;
    LogApiEvent(LogLevel::Warn, "activities.delivery_refused",
                "No translator took the activity for its panel; leaving it pending",
                {{"panel_id", panelId}, {"adm_id", activity.admId}});
    return Delivery::Refused;
}

void TLYApiImpl::HandleBadgeActivity(const PendingActivity& a, const ActivityContext& context) {
    const EventCodes codes = a.entryGranted ? EventCodes{0, 0} : DenialCodes(a.notes);
    if (IsLogLevelEnabled(LogLevel::Info)) {
        LogApiEvent(LogLevel::Info, "activities.processing",
                    a.entryGranted ? "Processing granted activity" : "Processing denied activity",
                    {{"adm_id", a.admId},
                     {"badge_no", a.badgeNo},
                     {"reader_index", context.readerIndex},
                     {"reader_name", a.readerName},
                     {"door_name", a.doorName},
                     {"event_type", codes.type},
                     {"event_id", codes.id},
                     {"notes", a.notes}});
    }

    BadgeActivityCallback callback = badgeActivityCallback.load();
    if (!callback) {
        LogApiEvent(LogLevel::Warn, "activities.badge_no_callback",
                    "Badge activity received but badge callback not set, skipping",
                    {{"adm_id", a.admId}, {"badge_no", a.badgeNo}});
        return;
    }
    callback(context.readerIndex, a.badgeNo, codes.type, codes.id, context.eventTime);
}

void TLYApiImpl::HandleAlarm(const PendingActivity& a, const ActivityContext& context) {
    AlarmEventCallback callback = alarmEventCallback.load();
    const std::string suffix = ": Badge " + std::to_string(a.badgeNo) + " at " + a.doorName + " (" + a.timestamp + ")";

    if (a.sourceType == 4) {
        if (!callback) {
            LogApiEvent(LogLevel::Warn, "activities.alarm_no_callback",
                        "Panic alarm activity received but alarm callback not set, skipping",
                        {{"adm_id", a.admId}, {"badge_no", a.badgeNo}});
            return;
        }
        size_t length = 0;
        const std::wstring text = AlarmText(a.alarmFullText.empty() ? "Panic Alarm" + suffix : a.alarmFullText, length);
        if (IsLogLevelEnabled(LogLevel::Info)) {
            LogApiEvent(LogLevel::Info, "activities.alarm_processing", "Processing panic alarm activity",
                        {{"adm_id", a.admId},
                         {"badge_no", a.badgeNo},
                         {"reader_index", context.readerIndex},
                         {"door_name", a.doorName},
                         {"source_type", 4},
                         {"text_length", static_cast<std::int64_t>(length)}});
        }
        callback(context.readerIndex, a.badgeNo, 2, 3, context.eventTime, text.c_str());
        return;
    }

    const std::string name = AlarmTypeName(a.sourceType);
    if (name.empty()) {
        LogApiEvent(LogLevel::Warn, "activities.alarm_unknown_source", "Unknown alarm source_type, skipping",
                    {{"adm_id", a.admId}, {"source_type", a.sourceType}});
        return;
    }
    if (!callback) {
        LogApiEvent(LogLevel::Warn, "activities.alarm_no_callback",
                    "Generic alarm activity received but alarm callback not set, skipping",
                    {{"adm_id", a.admId}, {"source_type", a.sourceType}});
        return;
    }
    size_t length = 0;
    const std::wstring text = AlarmText(a.alarmFullText.empty() ? name + suffix : a.alarmFullText, length);
    if (IsLogLevelEnabled(LogLevel::Info)) {
        LogApiEvent(LogLevel::Info, "activities.generic_alarm_processing", "Processing generic alarm activity",
                    {{"adm_id", a.admId},
                     {"badge_no", a.badgeNo},
                     {"reader_index", context.readerIndex},
                     {"door_name", a.doorName},
                     {"source_type", a.sourceType},
                     {"alarm_prefix", name},
                     {"text_length", static_cast<std::int64_t>(length)}});
    }
    callback(context.readerIndex, a.badgeNo, 30, 2, context.eventTime, text.c_str());
}
