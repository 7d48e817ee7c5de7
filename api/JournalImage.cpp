#include "api/JournalImage.h"

#include <cstring>
#include <unordered_set>

namespace journal {

namespace {

constexpr std::size_t kMostExtents = 64;

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

std::uint64_t Key(std::int32_t panelId, std::int32_t admId) {
    return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(panelId)) << 32) | static_cast<std::uint32_t>(admId);
}

// The extents after the base part, into the layout. Sizes are checked in
// 64 bits: a slot count read from the file may be anything.
bool ReadExtents(const unsigned char* bytes, std::size_t size, Layout& layout, std::string& reason) {
    std::size_t offset = kFileSize;
    for (std::size_t count = 0; size - offset >= sizeof(ExtentHeader); ++count) {
        ExtentHeader extent;
        std::memcpy(&extent, bytes + offset, sizeof extent);
        if (extent.kind == kNoExtent) break;  // a growth cut short, or the end
        const std::string where = "extent at " + std::to_string(offset);
        if (extent.kind != kTakenExtent && extent.kind != kSuspectExtent) {
            reason = where + " is of no known kind";
            return false;
        }
        if (count == kMostExtents) {
            reason = "more than " + std::to_string(kMostExtents) + " extents";
            return false;
        }
        const bool taken = extent.kind == kTakenExtent;
        std::vector<Region>& regions = taken ? layout.taken : layout.suspects;
        const std::uint64_t before = taken ? layout.TakenSlots() : layout.SuspectSlots();
        const std::uint64_t most = taken ? kMostTakenSlots : kMostSuspectSlots;
        if (extent.slots == 0 || before + extent.slots > most) {
            reason = where + " has " + std::to_string(extent.slots) + " slots, past the journal's bound";
            return false;
        }
        const std::uint64_t bytesOfExtent = ExtentBytes(extent.kind, extent.slots);
        if (bytesOfExtent > size - offset) {
            reason = where + " runs past the end of the file";
            return false;
        }
        regions.push_back(Region{offset + sizeof(ExtentHeader), static_cast<std::uint32_t>(before), extent.slots, offset});
        offset += static_cast<std::size_t>(bytesOfExtent);
    }
    layout.end = offset;
    return true;
}

}  // namespace

Layout BaseLayout() {
    Layout layout;
    layout.suspects.push_back(Region{kSuspectsOffset, 0, kBaseSuspectSlots, 0});
    layout.taken.push_back(Region{kTakenOffset, 0, kBaseTakenSlots, 0});
    layout.end = kFileSize;
    return layout;
}

bool ReadImage(const unsigned char* bytes, std::size_t size, Contents& contents, std::string& reason) {
    contents = Contents{};
    if (size < kFileSize || size > kMostFileSize) {
        reason = "size is " + std::to_string(size) + " bytes, expected " + std::to_string(kFileSize) + " to " +
                 std::to_string(kMostFileSize);
        return false;
    }
    Header header;
    std::memcpy(&header, bytes, sizeof header);
    if (std::memcmp(header.magic, kMagic, sizeof kMagic) != 0) {
        reason = "not a delivery journal (wrong signature)";
        return false;
    }
    if (header.version != kVersion || header.fileSize != kFileSize || header.takenSlots != kBaseTakenSlots ||
        header.suspectSlots != kBaseSuspectSlots || header.textCapacity != kTextCapacity) {
        reason = "header does not match this version's layout";
        return false;
    }
    contents.layout = BaseLayout();
    if (!ReadExtents(bytes, size, contents.layout, reason)) return false;

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

    std::unordered_set<std::uint64_t> seen;
    for (const Region& region : contents.layout.suspects) {
        for (std::uint32_t i = 0; i < region.slots; ++i) {
            const std::uint32_t slot = region.firstSlot + i;
            const std::size_t at = region.offset + std::size_t{i} * sizeof record;
            std::memcpy(&record, bytes + at, sizeof record);
            if (record.state == kFreeSuspect) continue;
            if (record.state != kInterruptedOnce && record.state != kHeldBack) {
                reason = "suspect " + std::to_string(slot) + " has state " + std::to_string(record.state);
                return false;
            }
            if (record.textLength > kTextCapacity || record.crashes == 0) {
                reason = "suspect " + std::to_string(slot) + " is inconsistent";
                return false;
            }
            if (!seen.insert(Key(record.panelId, record.admId)).second) {
                reason = "suspect " + std::to_string(slot) + " repeats an activity";
                return false;
            }
            contents.suspects.push_back(Suspect{slot, at, record.state == kHeldBack, ReadActivity(record)});
        }
    }

    seen.clear();
    for (const Region& region : contents.layout.taken) {
        for (std::uint32_t i = 0; i < region.slots; ++i) {
            const std::uint32_t slot = region.firstSlot + i;
            TakenRecord taken;
            std::memcpy(&taken, bytes + region.offset + std::size_t{i} * sizeof taken, sizeof taken);
            if (taken.state == kFreeTaken) continue;
            if (taken.state != kTaken) {
                reason = "taken entry " + std::to_string(slot) + " has state " + std::to_string(taken.state);
                return false;
            }
            // A repeat is harmless (the same id twice); one is kept.
            if (!seen.insert(Key(taken.panelId, taken.admId)).second) {
                contents.repeatedTakenSlots.push_back(slot);
                continue;
            }
            contents.taken.push_back({slot, {taken.panelId, taken.admId}});
        }
    }
    return true;
}

void WriteEmptyImage(unsigned char* bytes) noexcept {
    std::memset(bytes, 0, kFileSize);
    Header header{};
    std::memcpy(header.magic, kMagic, sizeof kMagic);
    header.version = kVersion;
    header.fileSize = kFileSize;
    header.takenSlots = kBaseTakenSlots;
    header.suspectSlots = kBaseSuspectSlots;
    header.textCapacity = kTextCapacity;
    std::memcpy(bytes, &header, sizeof header);
}

}  // namespace journal
