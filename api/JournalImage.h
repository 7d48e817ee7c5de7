#pragma once
// The bytes of the delivery journal file (DeliveryJournal.h) and how they are
// read back. The file outlives the process that wrote it, so reading it is
// reading outside input: every count, state and length is checked, and a file
// that does not hold exactly this layout is reported as damaged, never
// trusted in part.
//
// Layout, little-endian, every field at its natural alignment:
//   header       magic "TLYDJ001", version, file size, slot counts, text capacity
//   under way    the activity whose call-back was running (state 1) or none (0)
//   suspects     activities during whose call-back the process ended:
//                state 1 once (offered once more), 2 held back
//   taken        (panel, id) pairs the host took whose mark has not succeeded

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace journal {

constexpr char kMagic[8] = {'T', 'L', 'Y', 'D', 'J', '0', '0', '1'};
constexpr std::uint32_t kVersion = 1;
constexpr std::uint32_t kTextCapacity = 1024;
constexpr std::uint32_t kSuspectSlots = 32;
constexpr std::uint32_t kTakenSlots = 16384;

struct Header {
    char magic[8];
    std::uint32_t version;
    std::uint32_t fileSize;
    std::uint32_t takenSlots;
    std::uint32_t suspectSlots;
    std::uint32_t textCapacity;
    std::uint32_t reserved;
};

// The activity a record names, as far as the journal keeps it.
struct ActivityRecord {
    std::uint32_t state;
    std::int32_t panelId;
    std::int32_t admId;
    std::uint32_t sequence;  // under way: the delivery's number; suspect: the delivery last counted
    std::int64_t badgeNo;
    std::uint32_t textLength;
    std::uint32_t crashes;  // suspects only
    char text[kTextCapacity];
};

struct TakenRecord {
    std::uint32_t state;
    std::int32_t panelId;
    std::int32_t admId;
    std::uint32_t reserved;
};

enum : std::uint32_t { kIdle = 0, kUnderWay = 1 };
enum : std::uint32_t { kFreeSuspect = 0, kInterruptedOnce = 1, kHeldBack = 2 };
enum : std::uint32_t { kFreeTaken = 0, kTaken = 1 };

constexpr std::size_t kUnderWayOffset = sizeof(Header);
constexpr std::size_t kSuspectsOffset = kUnderWayOffset + sizeof(ActivityRecord);
constexpr std::size_t kTakenOffset = kSuspectsOffset + kSuspectSlots * sizeof(ActivityRecord);
constexpr std::size_t kFileSize = kTakenOffset + kTakenSlots * sizeof(TakenRecord);

static_assert(sizeof(Header) == 32 && sizeof(ActivityRecord) == 32 + kTextCapacity && sizeof(TakenRecord) == 16,
              "the file layout must not depend on the compiler");

// A record read back, with its text as a string.
struct Activity {
    std::int32_t panelId = 0;
    std::int32_t admId = 0;
    std::int64_t badgeNo = 0;
    std::uint32_t sequence = 0;
    std::uint32_t crashes = 0;
    std::string text;
};

struct Suspect {
    std::uint32_t slot = 0;
    bool heldBack = false;
    Activity activity;
};

struct Contents {
    bool underWay = false;
    Activity underWayActivity;
    std::vector<Suspect> suspects;
    std::vector<std::pair<std::uint32_t, std::pair<std::int32_t, std::int32_t>>> taken;  // slot, (panel, id)
    std::vector<std::uint32_t> repeatedTakenSlots;  // a second entry for an id already taken
};

// False, with the reason in words, when the bytes are not a journal of this
// layout. Never reads outside [bytes, bytes + size).
bool ReadImage(const unsigned char* bytes, std::size_t size, Contents& contents, std::string& reason);

// The bytes of an empty journal.
void WriteEmptyImage(unsigned char* bytes) noexcept;

}  // namespace journal
