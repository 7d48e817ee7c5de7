#pragma once
// The bytes of the delivery journal file (DeliveryJournal.h) and how they are
// read back. The file outlives the process that wrote it, so reading it is
// reading outside input: every count, state and length is checked, and a file
// that does not hold exactly this layout is reported as damaged, never
// trusted in part.
//
// Layout, little-endian, every field at its natural alignment. The base part
// is the whole file as long as it has room:
//   header       magic "TLYDJ001", version, base size, slot counts, text capacity
//   under way    the activity whose call-back was running (state 1) or none (0)
//   suspects     activities during whose call-back the process ended:
//                state 1 once (offered once more), 2 held back
//   taken        (panel, id) pairs the host took whose mark has not succeeded
// Then, when the base slots are not enough, extents, each an extent header
// (kind, slot count) and its slots: more taken entries or more suspects. A
// file grows by one extent at a time: first the file is made longer (the new
// bytes read as zeros), then the extent's slot count is written and its kind
// last. So a process killed at any point of a growth leaves a file that
// reads as before it: the reader stops at the first kind that is zero and
// ignores what follows. It shrinks the same way backwards: the last extent's
// kind is cleared before the file is cut.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace journal {

constexpr char kMagic[8] = {'T', 'L', 'Y', 'D', 'J', '0', '0', '1'};
constexpr std::uint32_t kVersion = 1;
constexpr std::uint32_t kTextCapacity = 1024;
constexpr std::uint32_t kBaseSuspectSlots = 32;
constexpr std::uint32_t kBaseTakenSlots = 16384;
// At most this many ids taken and not marked, over all panels: an hour of
// failed marks at a site handing the host some 290 activities a second
// (1,000 busy doors). 16 MiB of taken entries in the file, about 60 MiB of
// memory in the process (DeliveryJournal and RedeliveryLedger) when full.
// Past it delivery waits for marks to succeed.
constexpr std::uint32_t kMostTakenSlots = 1u << 20;
// Held back and interrupted activities: each took the host down at least
// once, so thousands mean the host never stays up; 8.3 MiB when full.
constexpr std::uint32_t kMostSuspectSlots = 8192;

struct Header {
    char magic[8];
    std::uint32_t version;
    std::uint32_t fileSize;  // of the base part; extents follow it
    std::uint32_t takenSlots;    // in the base part
    std::uint32_t suspectSlots;  // in the base part
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

struct ExtentHeader {
    std::uint32_t kind;   // written last
    std::uint32_t slots;
    std::uint32_t reserved[2];
};

enum : std::uint32_t { kIdle = 0, kUnderWay = 1 };
enum : std::uint32_t { kFreeSuspect = 0, kInterruptedOnce = 1, kHeldBack = 2 };
enum : std::uint32_t { kFreeTaken = 0, kTaken = 1 };
// Extent kinds: words no zero-filled or half-written header holds by chance.
enum : std::uint32_t { kNoExtent = 0, kTakenExtent = 0x4E4B4154 /* "TAKN" */, kSuspectExtent = 0x50535553 /* "SUSP" */ };

constexpr std::size_t kUnderWayOffset = sizeof(Header);
constexpr std::size_t kSuspectsOffset = kUnderWayOffset + sizeof(ActivityRecord);
constexpr std::size_t kTakenOffset = kSuspectsOffset + kBaseSuspectSlots * sizeof(ActivityRecord);
constexpr std::size_t kFileSize = kTakenOffset + kBaseTakenSlots * sizeof(TakenRecord);  // the base part

static_assert(sizeof(Header) == 32 && sizeof(ActivityRecord) == 32 + kTextCapacity && sizeof(TakenRecord) == 16 &&
                  sizeof(ExtentHeader) == 16 && sizeof(ActivityRecord) % 8 == 0 && kFileSize % 8 == 0,
              "the file layout must not depend on the compiler");

// The bytes an extent of this many slots takes, its header included.
constexpr std::size_t ExtentBytes(std::uint32_t kind, std::uint32_t slots) {
    return sizeof(ExtentHeader) + std::size_t{slots} * (kind == kTakenExtent ? sizeof(TakenRecord)
                                                                              : sizeof(ActivityRecord));
}

// Slots of one kind in one place of the file, numbered on from the slots
// before them: the base part's come first.
struct Region {
    std::size_t offset;  // of the first record
    std::uint32_t firstSlot;
    std::uint32_t slots;
    std::size_t extentOffset;  // of its extent header; 0 for the base part
};

// Where a file's slots are. Its extents can hold at most every slot there
// may be of each kind, once doubled (each growth adds as many as there are),
// so the largest file a reader takes is bounded.
struct Layout {
    std::vector<Region> suspects;
    std::vector<Region> taken;
    std::size_t end = kFileSize;  // after the last extent: where the next one goes
    std::uint32_t SuspectSlots() const { return suspects.back().firstSlot + suspects.back().slots; }
    std::uint32_t TakenSlots() const { return taken.back().firstSlot + taken.back().slots; }
};
constexpr std::size_t kMostFileSize = kFileSize + 64 * sizeof(ExtentHeader) +
                                      std::size_t{kMostTakenSlots} * sizeof(TakenRecord) +
                                      std::size_t{kMostSuspectSlots} * sizeof(ActivityRecord);

// The layout of an empty file of the base part alone.
Layout BaseLayout();

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
    std::size_t offset = 0;  // of its record in the file
    bool heldBack = false;
    Activity activity;
};

struct Contents {
    Layout layout;
    bool underWay = false;
    Activity underWayActivity;
    std::vector<Suspect> suspects;
    std::vector<std::pair<std::uint32_t, std::pair<std::int32_t, std::int32_t>>> taken;  // slot, (panel, id)
    std::vector<std::uint32_t> repeatedTakenSlots;  // a second entry for an id already taken
};

// False, with the reason in words, when the bytes are not a journal of this
// layout. Never reads outside [bytes, bytes + size). Bytes after the last
// extent (a growth cut short) are not part of the journal.
bool ReadImage(const unsigned char* bytes, std::size_t size, Contents& contents, std::string& reason);

// The bytes of an empty journal's base part.
void WriteEmptyImage(unsigned char* bytes) noexcept;

}  // namespace journal
