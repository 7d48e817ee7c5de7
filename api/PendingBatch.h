#pragma once
// One response of "/pending_activities/<panel>", read strictly before any of
// it is delivered. A response that is not JSON or not of the expected shape
// fails as a whole; a single activity that cannot be read exactly as sent is
// set aside as malformed, so its batch-mates still reach the host.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct PendingActivity {
    std::int32_t admId = 0;
    std::int32_t activityType = 0;  // 3: alarm; anything else: badge activity
    std::int64_t badgeNo = 0;
    std::string readerExternalId;
    std::string doorName;
    std::string readerName;
    std::string timestamp;
    // Badge activities.
    bool entryGranted = false;
    std::string notes;
    // Alarms.
    std::int32_t sourceType = 0;
    std::string alarmFullText;

    // The activity's text in the response it was read from; valid while that
    // response is.
    std::string_view raw;

    static constexpr std::int32_t kAlarmActivityType = 3;
    bool IsAlarm() const { return activityType == kAlarmActivityType; }
};

// An activity that is neither delivered nor marked.
struct MalformedActivity {
    std::optional<std::int32_t> admId;  // when the id itself could be read
    std::string text;                   // as received, cut to kMalformedTextLimit bytes
    std::string reason;
};

struct PendingBatch {
    bool empty = true;  // "activities" missing, null or an empty array
    std::vector<PendingActivity> activities;
    std::vector<MalformedActivity> malformed;
    std::int32_t remainingCount = 0;
};

constexpr std::size_t kMalformedTextLimit = 1024;

// Throws std::exception when the response as a whole cannot be read. One
// UTF-8 byte order mark at the start is skipped (platform/JsonDocument.h).
PendingBatch ParsePendingBatch(std::string_view response);

// The same through a whole document, whatever the text's shape; ParsePendingBatch
// uses it for every text the quick reader (PlainPendingBatch.h) leaves to it.
PendingBatch ParsePendingBatchDocument(std::string_view response);
