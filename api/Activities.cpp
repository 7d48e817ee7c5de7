// Pending activity processing: fetch each open panel's activities in batches,
// hand each to the translator's call-backs with host event codes, and mark
// on the server exactly what the host took.
//
// Every activity reaches the host once:
// - an activity that cannot be read exactly as sent is set aside (neither
//   delivered nor marked) without failing its batch-mates;
// - one the host refused, or that found no translator for its panel, stays
//   pending and is offered again at a later run;
// - one the host took is marked in requests of bounded size; until its mark
//   succeeds the ledger and the delivery journal remember it, so when the
//   server lists it again (after a failed mark, a restart, or in a lagging
//   list) it is marked without a second delivery;
// - one during whose call-back the process ended twice is held back (the
//   delivery journal);
// - none is handed over while the journal has no room for one more taken
//   id: the panel waits until marks succeed (better late than twice). What
//   was taken and is no longer listed (its mark's answer lost) is marked
//   again now and then, so it does not hold room for ever.
// No log line is held back while the host is called: a host that dies inside
// a call-back leaves the lines about the activity it died in.
//
// Everything here runs once per activity: a log line's fields are built only
// when the line will be written.

#include "api/ActivityCodes.h"
#include "api/DeliveryPanel.h"
#include "api/HostCallBudget.h"
#include "api/SiteData.h"
#include "api/ActivityPump.h"
#include "logging/AttentionEvents.h"
#include "logging/Log.h"
#include "logging/RepeatedLines.h"
#include "platform/Clock.h"
#include "platform/TextConversion.h"

#include <algorithm>
#include <exception>
#include <functional>
#include <unordered_set>

namespace {

// A panel's batch loop stops after this long within one run; the next run
// goes on where it stopped. A loop also stops when a batch made no progress.
constexpr std::uint32_t kMostRunMsPerPanel = 10000;
constexpr size_t kAlarmTextLimit = 2000;
// Ids per mark request: the ids travel in the URL, which servers and proxies
// bound (8 KiB is common); 100 ten-digit ids stay near 1.1 KiB.
constexpr size_t kMostIdsPerMark = 100;
// Marking again what the host took: at most this many ids in a run, and for
// ids the server no longer lists, at most once a minute per panel.
constexpr size_t kMostRemarkedPerRun = 1000;
constexpr std::uint32_t kRemarkUnlistedEveryMs = 60000;

// Cut to the byte limit (which may split a character: the conversion then
// yields a replacement character) and convert up to the first 0 byte.
std::wstring AlarmText(std::string text, size_t& byteLength) {
    if (text.size() > kAlarmTextLimit) text.resize(kAlarmTextLimit);
    byteLength = text.size();
    return tly::Utf8ToWide(std::string_view(text.c_str()));
}

std::string JoinIds(std::vector<std::int32_t>::const_iterator first, std::vector<std::int32_t>::const_iterator last) {
    std::string joined;
    for (auto it = first; it != last; ++it) {
        if (it != first) joined += ",";
        joined += std::to_string(*it);
    }
    return joined;
}

std::string JoinIds(const std::vector<std::int32_t>& ids) { return JoinIds(ids.begin(), ids.end()); }

// What one batch came to.
struct BatchResult {
    std::vector<std::int32_t> markIds;  // in the order processed
    std::vector<std::int32_t> suppressedIds;
    bool panelClosed = false;
    bool noRoom = false;  // the journal is full: nothing more is handed over
};

}  // namespace

void ActivityPump::RunPanel(std::int32_t panelId, std::int64_t& processedCount) {
    DeliveryPanelScope delivering(panelId);
    const std::string endpoint = "/pending_activities/" + std::to_string(panelId);
    const std::string failedKey = tly::PanelRepeatKey("tly_api", "activities.fetch_failed", panelId);
    const std::uint32_t started = tly::CurrentClock().TickCount();
    DeliveryCounters::Panel& counted = counters_.For(panelId);  // looked up once a run, counted without a lock
    for (int batch = 1;; ++batch) {
        // Lines between two calls into the host go to the file in one write;
        // warnings and errors at once.
        const LogBatch batchLines;
        if (!panels_.IsOpen(panelId)) return;
        std::string response;
        if (!rest_.GetWithRetry(endpoint, response)) {
            // Every poll of every panel fails while the server is away: the
            // first in full, then a summary a minute, until a fetch succeeds.
            tly::LogRepeatedFailure(LogLevel::Error, "tly_api", "activities.fetch_failed",
                                    "Failed to fetch pending activities",
                                    {{"panel_id", panelId}, {"endpoint", endpoint}, {"response", response}},
                                    failedKey);
            return;
        }
        tly::EndRepeatedFailures(failedKey);
        PendingBatch parsed;
        try {
            parsed = ParsePendingBatch(response);
        } catch (const std::exception& e) {
            LogApiEvent(LogLevel::Error, "activities.parse_failed", "Failed to parse activities response",
                        {{"panel_id", panelId}, {"exception", e.what()}});
            return;
        }
        if (parsed.empty) {
            if (batch == 1) RemarkTaken(panelId, Remark::Unlisted);
            return;
        }
        ReportMalformed(panelId, parsed.malformed);

        BatchResult result;
        std::unordered_set<std::int32_t> inThisBatch;
        std::vector<PreparedDelivery> prepared;
        prepared.reserve(parsed.activities.size());
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
            if (ledger_.Contains(panelId, activity.admId)) {
                result.suppressedIds.push_back(activity.admId);
                result.markIds.push_back(activity.admId);
                continue;
            }
            if (journal_.IsHeldBack(panelId, activity.admId)) continue;  // logged at start
            prepared.push_back(
                Prepare(panelId, activity, {readerIndex, ActivityEventTime(activity.timestamp)}));
        }
        // The lines describing the batch's deliveries are in the file before
        // the host is called with any of them: a host that dies inside a
        // call-back leaves the line of the activity it died in.
        WriteHeldLogLines();
        for (const PreparedDelivery& delivery : prepared) {
            if (!RoomToDeliver(panelId)) {
                result.noRoom = true;
                break;
            }
            const Delivery outcome = Deliver(panelId, delivery, delivering);
            if (outcome == Delivery::PanelClosed) {
                result.panelClosed = true;
                break;
            }
            if (outcome == Delivery::Refused) {
                counted.refused.fetch_add(1, std::memory_order_relaxed);
                continue;
            }
            if (delivery.kind != PreparedDelivery::Dropped) {
                counted.delivered.fetch_add(1, std::memory_order_relaxed);
                counted.lastId.store(delivery.activity->admId, std::memory_order_relaxed);
            }
            result.markIds.push_back(delivery.activity->admId);
        }
        processedCount += static_cast<std::int64_t>(result.markIds.size());

        if (!result.suppressedIds.empty()) {
            LogApiEvent(LogLevel::Info, "activities.redelivery_suppressed",
                        "Activities already delivered are marked again without a second delivery",
                        {{"panel_id", panelId},
                         {"count", static_cast<std::int64_t>(result.suppressedIds.size())},
                         {"ids", JoinIds(result.suppressedIds)}});
        }

        const bool progressed = MarkProcessed(panelId, result.markIds);
        if (result.panelClosed) return;
        if (result.noRoom) {
            RemarkTaken(panelId, Remark::JournalFull);
            return;
        }
        if (parsed.remainingCount <= 0) return;
        // The server would hand out the same batch again: stop until the next run.
        if (!progressed) {
            LogApiEvent(LogLevel::Warn, "activities.no_progress",
                        "Batch left every activity pending; fetching again on the next run",
                        {{"panel_id", panelId}, {"remaining", parsed.remainingCount}});
            return;
        }
        if (HostCallBudget::Exhausted()) {
            // The host's call returns now; the activity worker goes on.
            AskAgainFor(panelId);
            return;
        }
        if (tly::CurrentClock().TickCount() - started >= kMostRunMsPerPanel) {  // unsigned: wrap-safe
            LogApiEvent(LogLevel::Warn, "activities.run_time_limit",
                        "Run time limit reached for this panel; continuing on the next run",
                        {{"panel_id", panelId}, {"batches", batch}, {"remaining", parsed.remainingCount}});
            AskAgainFor(panelId);
            return;
        }
        if (IsLogLevelEnabled(LogLevel::Debug)) {
            LogApiEvent(LogLevel::Debug, "activities.more_remaining", "Fetching next batch",
                        {{"panel_id", panelId}, {"remaining", parsed.remainingCount}});
        }
    }
}

// Marks in requests of at most kMostIdsPerMark ids, each on its own: a failed
// request leaves its ids remembered as taken, and the others still go (or,
// with stopAtFailure, wait for another run). True when any request succeeded.
bool ActivityPump::MarkProcessed(std::int32_t panelId, const std::vector<std::int32_t>& ids, bool stopAtFailure) {
    bool anyMarked = false;
    for (size_t first = 0; first < ids.size(); first += kMostIdsPerMark) {
        const auto begin = ids.begin() + static_cast<std::ptrdiff_t>(first);
        const auto end = ids.begin() + static_cast<std::ptrdiff_t>(std::min(ids.size(), first + kMostIdsPerMark));
        const std::string joined = JoinIds(begin, end);
        std::string response;
        if (!rest_.PostWithRetry("/activities/batch_processed?ids=" + joined, response)) {
            LogApiEvent(LogLevel::Error, "activities.batch_mark_failed", "Failed to mark activity batch as processed",
                        {{"panel_id", panelId}, {"ids", joined}, {"response", response}});
            if (stopAtFailure) break;
            continue;
        }
        const std::vector<std::int32_t> chunk(begin, end);
        ledger_.Marked(panelId, chunk);
        journal_.Marked(panelId, chunk);
        counters_.For(panelId).marked.fetch_add(static_cast<std::uint32_t>(chunk.size()), std::memory_order_relaxed);
        anyMarked = true;
        if (IsLogLevelEnabled(LogLevel::Info)) {
            LogApiEvent(LogLevel::Info, "activities.marked", "Activities marked processed on the server",
                        {{"panel_id", panelId}, {"count", static_cast<std::int64_t>(chunk.size())}, {"ids", joined}});
        }
    }
    return anyMarked;
}

// Room for one more taken id, in memory and in the journal. A panel that
// finds none waits, with one error line, until marks have made room.
bool ActivityPump::RoomToDeliver(std::int32_t panelId) {
    std::string whyNot;
    const std::size_t unmarked = ledger_.TotalSize();
    bool room = unmarked < journal_.MostTaken();
    if (!room) {
        whyNot = "the activities taken and not marked are as many as may be";
    } else {
        room = journal_.MakeRoom(whyNot);
    }
    bool changed = false;
    {
        tly::MutexLock guard(roomLock_);
        changed = room ? waitingForRoom_.erase(panelId) != 0 : waitingForRoom_.insert(panelId).second;
    }
    if (!changed) return room;
    if (room) {
        LogApiEvent(LogLevel::Info, "activities.journal_room",
                    "The delivery journal has room again; this panel's activities are delivered again",
                    {{"panel_id", panelId}, {"unmarked", static_cast<std::int64_t>(unmarked)}});
    } else {
        LogApiEvent(LogLevel::Error, "activities.journal_full",
                    "The delivery journal has no room for another activity; this panel's activities wait until "
                    "marks succeed",
                    {{"panel_id", panelId},
                     {"unmarked", static_cast<std::int64_t>(unmarked)},
                     {"most", static_cast<std::int64_t>(journal_.MostTaken())},
                     {"reason", whyNot}});
        AttentionEvents::Instance().JournalFull(panelId, whyNot);
    }
    return room;
}

// Marks again what the host took whose mark has not succeeded, a thousand
// at most, stopping at the first failure. For a panel waiting for room,
// every run; for ids the server no longer lists (a mark that succeeded but
// whose answer was lost), once a minute.
void ActivityPump::RemarkTaken(std::int32_t panelId, Remark why) {
    if (ledger_.Size(panelId) == 0) return;
    if (why == Remark::Unlisted) {
        const std::uint32_t now = tly::CurrentClock().TickCount();
        tly::MutexLock guard(roomLock_);
        auto last = lastRemark_.find(panelId);
        if (last != lastRemark_.end() && now - last->second < kRemarkUnlistedEveryMs) return;  // wrap-safe
        lastRemark_[panelId] = now;
    }
    const std::vector<std::int32_t> ids = ledger_.TakenIds(panelId, kMostRemarkedPerRun);
    LogApiEvent(LogLevel::Info, "activities.remark_taken",
                "Marking again activities the host took whose marks have not succeeded",
                {{"panel_id", panelId},
                 {"count", static_cast<std::int64_t>(ids.size())},
                 {"reason", why == Remark::Unlisted ? "unlisted" : "journal_full"}});
    MarkProcessed(panelId, ids, true);
}

// Logged once per panel and id in a process: such an activity stays on the
// server and comes back at every run.
void ActivityPump::ReportMalformed(std::int32_t panelId, const std::vector<MalformedActivity>& malformed) {
    for (const MalformedActivity& activity : malformed) {
        const std::uint64_t key = activity.admId ? static_cast<std::uint32_t>(*activity.admId)
                                                 : (std::uint64_t{1} << 32) | std::hash<std::string>{}(activity.text);
        if (!malformedReported_.First(panelId, key)) continue;
        LogFields fields{{"panel_id", panelId}, {"activity", activity.text}, {"exception", activity.reason}};
        if (activity.admId) fields.emplace_back("adm_id", *activity.admId);
        LogApiEvent(LogLevel::Error, "activities.malformed",
                    "Malformed activity left pending: neither delivered nor marked", fields);
    }
}

// What one activity becomes for the host, decided and logged before any of
// its batch is handed over. Activities no call-back takes (none set, an
// unknown alarm kind) are logged and dropped: marked without a call-back.
ActivityPump::PreparedDelivery ActivityPump::Prepare(std::int32_t panelId, const PendingActivity& a,
                                                         const ActivityContext& context) {
    PreparedDelivery prepared{&a, context, PreparedDelivery::Dropped, {}, {}};
    if (!a.IsAlarm()) {
        prepared.codes = a.entryGranted ? kGrantedCodes : DenialCodes(a.notes);
        if (IsLogLevelEnabled(LogLevel::Info)) {
            LogApiEvent(LogLevel::Info, "activities.processing",
                        a.entryGranted ? "Processing granted activity" : "Processing denied activity",
                        {{"adm_id", a.admId},
                         {"badge_no", a.badgeNo},
                         {"panel_id", panelId},
                         {"reader_external_id", a.readerExternalId},
                         {"reader_index", context.readerIndex},
                         {"reader_name", a.readerName},
                         {"door_name", a.doorName},
                         {"event_type", prepared.codes.type},
                         {"event_id", prepared.codes.id},
                         {"notes", a.notes}});
        }
        if (!badgeCallback_.load()) {
            LogApiEvent(LogLevel::Warn, "activities.badge_no_callback",
                        "Badge activity received but badge callback not set, skipping",
                        {{"adm_id", a.admId}, {"badge_no", a.badgeNo}});
            return prepared;
        }
        prepared.kind = PreparedDelivery::Badge;
        return prepared;
    }

    const bool hasCallback = alarmCallback_.load() != nullptr;
    const std::string suffix = ": Badge " + std::to_string(a.badgeNo) + " at " + a.doorName + " (" + a.timestamp + ")";
    if (a.sourceType == kPanicAlarmSource) {
        if (!hasCallback) {
            LogApiEvent(LogLevel::Warn, "activities.alarm_no_callback",
                        "Panic alarm activity received but alarm callback not set, skipping",
                        {{"adm_id", a.admId}, {"badge_no", a.badgeNo}});
            return prepared;
        }
        size_t length = 0;
        prepared.text = AlarmText(a.alarmFullText.empty() ? "Panic Alarm" + suffix : a.alarmFullText, length);
        prepared.codes = kPanicAlarmCodes;
        prepared.kind = PreparedDelivery::Alarm;
        if (IsLogLevelEnabled(LogLevel::Info)) {
            LogApiEvent(LogLevel::Info, "activities.alarm_processing", "Processing panic alarm activity",
                        {{"adm_id", a.admId},
                         {"badge_no", a.badgeNo},
                         {"panel_id", panelId},
                         {"reader_external_id", a.readerExternalId},
                         {"reader_index", context.readerIndex},
                         {"door_name", a.doorName},
                         {"source_type", kPanicAlarmSource},
                         {"text_length", static_cast<std::int64_t>(length)}});
        }
        return prepared;
    }

    const std::string name = AlarmTypeName(a.sourceType);
    if (name.empty()) {
        LogApiEvent(LogLevel::Warn, "activities.alarm_unknown_source", "Unknown alarm source_type, skipping",
                    {{"adm_id", a.admId}, {"source_type", a.sourceType}});
        return prepared;
    }
    if (!hasCallback) {
        LogApiEvent(LogLevel::Warn, "activities.alarm_no_callback",
                    "Generic alarm activity received but alarm callback not set, skipping",
                    {{"adm_id", a.admId}, {"source_type", a.sourceType}});
        return prepared;
    }
    size_t length = 0;
    prepared.text = AlarmText(a.alarmFullText.empty() ? name + suffix : a.alarmFullText, length);
    prepared.codes = kGenericAlarmCodes;
    prepared.kind = PreparedDelivery::Alarm;
    if (IsLogLevelEnabled(LogLevel::Info)) {
        LogApiEvent(LogLevel::Info, "activities.generic_alarm_processing", "Processing generic alarm activity",
                    {{"adm_id", a.admId},
                     {"badge_no", a.badgeNo},
                     {"panel_id", panelId},
                     {"reader_external_id", a.readerExternalId},
                     {"reader_index", context.readerIndex},
                     {"door_name", a.doorName},
                     {"source_type", a.sourceType},
                     {"alarm_prefix", name},
                     {"text_length", static_cast<std::int64_t>(length)}});
    }
    return prepared;
}

// Hands one activity to its call-back, unless its panel was closed meanwhile.
// A close waits (for a bounded time) for a delivery under way, so the panel
// either gets it before its close returns or the activity stays pending. The
// delivery journal records the call-back while it runs.
ActivityPump::Delivery ActivityPump::Deliver(std::int32_t panelId, const PreparedDelivery& prepared,
                                                 DeliveryPanelScope& scope) {
    if (!panels_.BeginDelivery(panelId)) return Delivery::PanelClosed;
    struct End {
        PanelRegistry& panels;
        std::int32_t panelId;
        ~End() { panels.EndDelivery(panelId); }
    } end{panels_, panelId};

    const PendingActivity& a = *prepared.activity;
    const ActivityContext& context = prepared.context;
    scope.TakeRefusal();
    if (prepared.kind != PreparedDelivery::Dropped) {
        journal_.BeginDelivery(panelId, a.admId, a.badgeNo, a.raw);
        if (prepared.kind == PreparedDelivery::Badge) {
            const BadgeActivityCallback callback = badgeCallback_.load();
            if (callback) {
                callback(context.readerIndex, a.badgeNo, prepared.codes.type, prepared.codes.id, context.eventTime);
            } else {
                RefuseCurrentDelivery();  // taken away since the batch was prepared
            }
        } else {
            const AlarmEventCallback callback = alarmCallback_.load();
            if (callback) {
                callback(context.readerIndex, a.badgeNo, prepared.codes.type, prepared.codes.id, context.eventTime,
                         prepared.text.c_str());
            } else {
                RefuseCurrentDelivery();
            }
        }
    }
    const bool refused = scope.TakeRefusal();
    journal_.EndDelivery(!refused);
    if (!refused) {
        ledger_.Taken(panelId, a.admId);
        return Delivery::Handed;
    }
    if (refusalReported_.First(panelId, static_cast<std::uint32_t>(a.admId))) {
        LogApiEvent(LogLevel::Warn, "activities.delivery_refused",
                    "The host did not take the activity (no translator or sink for its panel, or the sink "
                    "refused it); leaving it pending",
                    {{"panel_id", panelId}, {"adm_id", a.admId}});
    }
    return Delivery::Refused;
}
