// Pending activity processing: fetch each active panel's activities in
// batches, hand each to the translator's call-backs with host event codes, and
// mark the batch processed only after its call-backs have returned, so every
// activity is delivered at least once.

#include "api/ActivityCodes.h"
#include "api/DeliveryPanel.h"
#include "api/JsonRead.h"
#include "api/TLYApiImpl.h"
#include "logging/Log.h"
#include "platform/TextConversion.h"

#include <exception>

namespace {

// A run fetches at most this many batches per panel, so a server that keeps
// reporting remaining activities cannot hold the run forever.
constexpr int kMostBatchesPerPanel = 100;
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

}  // namespace

void TLYApiImpl::FetchAndProcessPendingActivities() {
    // Runs from every starter go through one gate, so two runs never fetch and
    // deliver the same batch at the same time.
    RequestActivityRun(/*fromNotification=*/false);
}

void TLYApiImpl::OnActivitiesAvailable() {
    LogApiEvent(LogLevel::Debug, "activities.notification", "Received activities_available notification");
    RequestActivityRun(/*fromNotification=*/true);
}

// Whoever finds the gate open runs; a request that finds a run in progress
// only asks for one more, which that run performs before it returns. The
// request flag is raised before the gate is tried and checked again after the
// gate is released, so no request is lost between the two. No lock is held
// while the runs call back into the translator, which may call the API again.
void TLYApiImpl::RequestActivityRun(bool fromNotification) {
    refetchRequested.store(true);
    for (;;) {
        bool expected = false;
        if (!fetchInProgress.compare_exchange_strong(expected, true)) {
            if (fromNotification) {
                LogApiEvent(LogLevel::Debug, "activities.coalesced", "Already fetching — will re-fetch when done");
            }
            return;
        }
        struct GateRelease {
            std::atomic<bool>& gate;
            ~GateRelease() { gate.store(false); }
        } release{fetchInProgress};

        while (refetchRequested.exchange(false)) RunPendingActivities();
        if (!refetchRequested.load()) return;
    }
}

void TLYApiImpl::RunPendingActivities() {
    const bool hasBadgeCallback = badgeActivityCallback.load() != nullptr;
    const bool restReady = restClient.IsInitialized();
    LogApiEvent(LogLevel::Info, "activities.fetch_entry", "FetchAndProcessPendingActivities called",
                {{"has_callback", hasBadgeCallback}, {"rest_ready", restReady}});
    if (!hasBadgeCallback && !alarmEventCallback.load()) {
        LogApiEvent(LogLevel::Warn, "activities.no_callback", "No activity callbacks set, skipping");
        return;
    }
    if (!restReady) {
        LogApiEvent(LogLevel::Warn, "activities.not_connected", "REST client not ready, skipping activity fetch");
        return;
    }
    const std::vector<std::int32_t> panels = PanelIdsSnapshot();
    if (panels.empty()) {
        LogApiEvent(LogLevel::Warn, "activities.no_panels", "No panels registered, skipping activity fetch");
        return;
    }

    std::int64_t processed = 0;
    for (std::int32_t panel : panels) ProcessPanelActivities(panel, processed);
    if (processed > 0) {
        LogApiEvent(LogLevel::Info, "activities.batch_complete", "Finished processing activities",
                    {{"total_processed", processed}});
    }
}

void TLYApiImpl::ProcessPanelActivities(std::int32_t panelId, std::int64_t& processedCount) {
    const DeliveryPanelScope delivering(panelId);
    const std::string endpoint = "/pending_activities/" + std::to_string(panelId);
    for (int batch = 1;; ++batch) {
        std::string response;
        if (!restClient.GetWithRetry(endpoint, response)) {
            LogApiEvent(LogLevel::Error, "activities.fetch_failed", "Failed to fetch pending activities",
                        {{"panel_id", panelId}, {"endpoint", endpoint}, {"response", response}});
            return;
        }
        try {
            const nlohmann::json body = nlohmann::json::parse(response);
            const nlohmann::json* activities = json_read::Member(body, "activities");
            const std::int32_t remaining = json_read::Int32(body, "remaining_count");
            if (!activities || activities->is_null()) return;
            if (!activities->is_array()) {
                throw nlohmann::json::type_error::create(
                    302, std::string("activities must be an array, but is ") + activities->type_name(), activities);
            }
            if (activities->empty()) return;

            std::vector<std::int32_t> processedIds;
            for (const nlohmann::json& activity : *activities) {
                std::int32_t admId = 0;
                if (HandleActivity(activity, panelId, admId)) {
                    processedIds.push_back(admId);
                    ++processedCount;
                }
            }

            bool progressed = false;
            if (!processedIds.empty()) {
                const std::string ids = JoinIds(processedIds);
                std::string markResponse;
                progressed = restClient.PostWithRetry("/activities/batch_processed?ids=" + ids, markResponse);
                if (!progressed) {
                    LogApiEvent(LogLevel::Error, "activities.batch_mark_failed",
                                "Failed to mark activity batch as processed", {{"ids", ids}, {"response", markResponse}});
                }
            }

            if (remaining <= 0) return;
            // The server would hand out the same batch again: stop until the next run.
            if (!progressed) {
                LogApiEvent(LogLevel::Warn, "activities.no_progress",
                            "Batch left every activity pending; fetching again on the next run",
                            {{"panel_id", panelId}, {"remaining", remaining}});
                return;
            }
            if (batch >= kMostBatchesPerPanel) {
                LogApiEvent(LogLevel::Warn, "activities.batch_limit", "Batch limit reached; continuing on the next run",
                            {{"panel_id", panelId}, {"batches", batch}, {"remaining", remaining}});
                return;
            }
            LogApiEvent(LogLevel::Debug, "activities.more_remaining", "Fetching next batch", {{"remaining", remaining}});
        } catch (const std::exception& e) {
            LogApiEvent(LogLevel::Error, "activities.parse_failed", "Failed to parse activities response",
                        {{"exception", e.what()}});
            return;
        }
    }
}

// True when the activity counts as processed (marked on the server).
bool TLYApiImpl::HandleActivity(const nlohmann::json& activity, std::int32_t panelId, std::int32_t& admId) {
    admId = json_read::Int32(activity, "adm_id");
    const std::int32_t activityType = json_read::Int32(activity, "activity_type");
    const std::int64_t badgeNo = json_read::Int64(activity, "badge_no");
    const std::string readerExternalId = json_read::String(activity, "reader_external_id");
    const std::string doorName = json_read::String(activity, "door_name");
    const std::string readerName = json_read::String(activity, "reader_name");
    const std::string timestamp = json_read::String(activity, "timestamp");

    std::int32_t actualPanel = 0;
    std::int32_t readerIndex = 0;
    if (!readerExternalId.empty() && !ParseReaderExternalId(readerExternalId, actualPanel, readerIndex)) {
        LogApiEvent(LogLevel::Warn, "activities.invalid_reader_external_id",
                    "Skipping activity with malformed reader_external_id",
                    {{"adm_id", admId}, {"reader_external_id", readerExternalId}});
        return false;
    }
    if (actualPanel != panelId) {
        LogApiEvent(LogLevel::Warn, "activities.panel_mismatch",
                    "Activity does not belong to this panel, leaving unprocessed",
                    {{"adm_id", admId},
                     {"reader_external_id", readerExternalId},
                     {"expected_panel_id", panelId},
                     {"actual_panel_id", actualPanel}});
        return false;
    }

    const ActivityContext context{admId, badgeNo, readerIndex, doorName, readerName, timestamp, ActivityEventTime(timestamp)};
    if (activityType == 3) {
        HandleAlarm(activity, context);
    } else {
        HandleBadgeActivity(activity, context);
    }
    return true;
}

void TLYApiImpl::HandleBadgeActivity(const nlohmann::json& activity, const ActivityContext& a) {
    const bool granted = json_read::Bool(activity, "entry_granted");
    std::string notes;
    EventCodes codes{0, 0};
    if (!granted) {
        notes = json_read::String(activity, "notes");
        codes = DenialCodes(notes);
    }
    LogApiEvent(LogLevel::Info, "activities.processing",
                granted ? "Processing granted activity" : "Processing denied activity",
                {{"adm_id", a.admId},
                 {"badge_no", a.badgeNo},
                 {"reader_index", a.readerIndex},
                 {"reader_name", a.readerName},
                 {"door_name", a.doorName},
                 {"event_type", codes.type},
                 {"event_id", codes.id},
                 {"notes", notes}});

    BadgeActivityCallback callback = badgeActivityCallback.load();
    if (!callback) {
        LogApiEvent(LogLevel::Warn, "activities.badge_no_callback",
                    "Badge activity received but badge callback not set, skipping",
                    {{"adm_id", a.admId}, {"badge_no", a.badgeNo}});
        return;
    }
    callback(a.readerIndex, a.badgeNo, codes.type, codes.id, a.eventTime);
}

void TLYApiImpl::HandleAlarm(const nlohmann::json& activity, const ActivityContext& a) {
    const std::int32_t sourceType = json_read::Int32(activity, "source_type");
    json_read::String(activity, "alarm_description");  // not used, but its type is checked
    const std::string fullText = json_read::String(activity, "alarm_full_text");
    AlarmEventCallback callback = alarmEventCallback.load();
    const std::string suffix = ": Badge " + std::to_string(a.badgeNo) + " at " + a.doorName + " (" + a.timestamp + ")";

    if (sourceType == 4) {
        if (!callback) {
            LogApiEvent(LogLevel::Warn, "activities.alarm_no_callback",
                        "Panic alarm activity received but alarm callback not set, skipping",
                        {{"adm_id", a.admId}, {"badge_no", a.badgeNo}});
            return;
        }
        size_t length = 0;
        const std::wstring text = AlarmText(fullText.empty() ? "Panic Alarm" + suffix : fullText, length);
        LogApiEvent(LogLevel::Info, "activities.alarm_processing", "Processing panic alarm activity",
                    {{"adm_id", a.admId},
                     {"badge_no", a.badgeNo},
                     {"reader_index", a.readerIndex},
                     {"door_name", a.doorName},
                     {"source_type", 4},
                     {"text_length", static_cast<std::int64_t>(length)}});
        callback(a.readerIndex, a.badgeNo, 2, 3, a.eventTime, text.c_str());
        return;
    }

    const std::string name = AlarmTypeName(sourceType);
    if (name.empty()) {
        LogApiEvent(LogLevel::Warn, "activities.alarm_unknown_source", "Unknown alarm source_type, skipping",
                    {{"adm_id", a.admId}, {"source_type", sourceType}});
        return;
    }
    if (!callback) {
        LogApiEvent(LogLevel::Warn, "activities.alarm_no_callback",
                    "Generic alarm activity received but alarm callback not set, skipping",
                    {{"adm_id", a.admId}, {"source_type", sourceType}});
        return;
    }
    size_t length = 0;
    const std::wstring text = AlarmText(fullText.empty() ? name + suffix : fullText, length);
    LogApiEvent(LogLevel::Info, "activities.generic_alarm_processing", "Processing generic alarm activity",
                {{"adm_id", a.admId},
                 {"badge_no", a.badgeNo},
                 {"reader_index", a.readerIndex},
                 {"door_name", a.doorName},
                 {"source_type", sourceType},
                 {"alarm_prefix", name},
                 {"text_length", static_cast<std::int64_t>(length)}});
    callback(a.readerIndex, a.badgeNo, 30, 2, a.eventTime, text.c_str());
}
