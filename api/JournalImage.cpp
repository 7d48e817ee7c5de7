#include "api/JournalImage.h"

#include <cstring>
#include <set>

namespace journal {

namespace {

Activity ReadActivity(const ActivityRecord& record) {
    Activity activity;
    activity.panelId = record.panelId;
    activity.admId = record.admId;
    activity.badgeNo = record.badgeNo;
    activity.sequence = record.sequence;
    activity.crashes = record.crashes;
    activity.text.assign(record.text, record.textLength);
    return activity;
}

}  // namespace

bool ReadImage(const unsigned char* bytes, std::size_t size, Contents& contents, std::string& reason) {
    contents = Contents{};
    if (size != kFileSize) {
        reason = "size is " + std::to_string(size) + " bytes, expected " + std::to_string(kFileSize);
        return false;
    }
    Header header;
    std::memcpy(&header, bytes, sizeof header);
    if (std::memcmp(header.magic, kMagic, sizeof kMagic) != 0) {
        reason = "not a delivery journal (wrong signature)";
        return false;
    }
    if (header.version != kVersion || header.fileSize != kFileSize || header.takenSlots != kTakenSlots ||
        header.suspectSlots != kSuspectSlots || header.textCapacity != kTextCapacity) {
        reason = "header does not match this version's layout";
        return false;
    }

    // Copied out of the file rather than read in place: the bytes may be
    // mapped, and a record is checked and used as one value.
    ActivityRecord record;
    std::memcpy(&record, bytes + kUnderWayOffset, sizeof record);
    if (record.state != kIdle && record.state != kUnderWay) {
        reason = "delivery under way has state " + std::to_string(record.state);
        return false;
    }
    if (record.textLength > kTextCapacity) {
        reason = "delivery under way has a text of " + std::to_string(record.textLength) + " bytes";
        return false;
    }
    contents.underWay = record.state == kUnderWay;
    if (contents.underWay) contents.underWayActivity = ReadActivity(record);

    std::set<std::pair<std::int32_t, std::int32_t>> seen;
    for (std::uint32_t slot = 0; slot < kSuspectSlots; ++slot) {
        std::memcpy(&record, bytes + kSuspectsOffset + slot * sizeof record, sizeof record);
        if (record.state == kFreeSuspect) continue;
        if (record.state != kInterruptedOnce && record.state != kHeldBack) {
            reason = "suspect " + std::to_string(slot) + " has state " + std::to_string(record.state);
            return false;
        }
        if (record.textLength > kTextCapacity || record.crashes == 0) {
            reason = "suspect " + std::to_string(slot) + " is inconsistent";
            return false;
        }
        if (!seen.emplace(record.panelId, record.admId).second) {
            reason = "suspect " + std::to_string(slot) + " repeats an activity";
            return false;
        }
        contents.suspects.push_back(Suspect{slot, record.state == kHeldBack, ReadActivity(record)});
    }

    seen.clear();
    for (std::uint32_t slot = 0; slot < kTakenSlots; ++slot) {
        TakenRecord taken;
        std::memcpy(&taken, bytes + kTakenOffset + slot * sizeof taken, sizeof taken);
        if (taken.state == kFreeTaken) continue;
        if (taken.state != kTaken) {
            reason = "taken entry " + std::to_string(slot) + " has state " + std::to_string(taken.state);
            return false;
        }
        // A repeat is harmless (the same id twice); one is kept.
        if (!seen.emplace(taken.panelId, taken.admId).second) {
            contents.repeatedTakenSlots.push_back(slot);
            continue;
        }
        contents.taken.push_back({slot, {taken.panelId, taken.admId}});
    }
    return true;
}

void WriteEmptyImage(unsigned char* bytes) noexcept {
    std::memset(bytes, 0, kFileSize);
    Header header{};
    std::memcpy(header.magic, kMagic, sizeof kMagic);
    header.version = kVersion;
    header.fileSize = kFileSize;
    header.takenSlots = kTakenSlots;
    header.suspectSlots = kSuspectSlots;
    header.textCapacity = kTextCapacity;
    std::memcpy(bytes, &header, sizeof header);
}

}  // namespace journal
