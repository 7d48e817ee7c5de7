#pragma once
// The delivery journal: what the host has taken and what it was being handed,
// kept in a small memory-mapped file beside the settings file. The pages of a
// mapped view belong to the system, not the process, so every store into the
// view is in the file even when the process is killed the next instant, and no
// flush is paid per activity. (It does not claim to survive a power cut.)
//
// It lets a restarted process (or a reloaded module) know:
// - which activities the host took whose marks never succeeded: they are
//   marked without delivery when the server lists them again;
// - which activity's call-back was running when the process ended: it is
//   offered once more (the host may not have stored it), and when the process
//   ends during its call-back a second time it is held back: never offered
//   again and never marked, until an operator releases it
//   (ReleaseHeldActivity), so one record that kills the host cannot keep
//   killing it at every restart.
//
// Nothing taken and unmarked is ever forgotten: the file grows by an extent
// when its slots run out and gives the last extent back once marks have
// emptied it, up to journal::kMostTakenSlots ids. Past that, MakeRoom says
// no and the runs stop delivering until marks succeed: better late than
// twice. Held-back activities are kept the same way, released only by the
// operator.
//
// One process owns the file at a time (it is opened without sharing; the
// owner's process id is in the header for the one waiting). A process that
// finds it owned by another (a host starting while the one before still
// ends) delivers nothing until it is free: runs try to take it over at each
// turn (TakeOverIfFree), and a wait past a minute is an error every minute.
// Better late than twice: a holder that never lets go holds delivery until
// the operator ends it. A file that cannot be read as a journal is set aside
// under another name and a new one is started. Its lock takes only the log's.

#include "api/JournalImage.h"
#include "platform/Mutex.h"
#include "platform/UniqueResource.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

constexpr const char* kDeliveryJournalFileName = "tly_delivery_journal.dat";
constexpr const char* kDamagedJournalFileName = "tly_delivery_journal.damaged.dat";

class DeliveryJournal {
public:
    DeliveryJournal() = default;
    ~DeliveryJournal();
    DeliveryJournal(const DeliveryJournal&) = delete;
    DeliveryJournal& operator=(const DeliveryJournal&) = delete;

    // What a start found in the file.
    struct StartReport {
        std::optional<journal::Activity> interrupted;  // ended during its call-back: offered once more
        std::vector<journal::Activity> heldBack;       // ended during its call-back twice
        std::vector<std::pair<std::int32_t, std::int32_t>> taken;  // (panel, id) to mark without delivery
    };

    // Opens (or creates) the journal in the folder, logging what it finds. The
    // same folder again is a no-op; another folder closes the first.
    // nullopt when the process works without a journal.
    std::optional<StartReport> Open(const std::string& directory) TLY_EXCLUDES(lock_);
    // A delivery under way goes on (a panel's close waits for it only so
    // long): the file is left saying none is, since the process did not end
    // in it, and a reopening in this process records it as under way again.
    void Close() noexcept TLY_EXCLUDES(lock_);
    bool IsOpen() const TLY_EXCLUDES(lock_);
    // The last Open found the journal owned by another process: nothing may
    // be delivered until TakeOverIfFree opens it.
    bool WaitingForOwner() const TLY_EXCLUDES(lock_);
    // Opens the journal another process held, now that it may be free: the
    // start's report as Open gives it, or nullopt while it is still held (or
    // it could not be opened for another reason, WaitingForOwner then false).
    std::optional<StartReport> TakeOverIfFree() TLY_EXCLUDES(lock_);

    // Around one call-back. The activity's text is kept for the operator.
    void BeginDelivery(std::int32_t panelId, std::int32_t admId, std::int64_t badgeNo, std::string_view text) noexcept
        TLY_EXCLUDES(lock_);
    // taken: the host took it (its id is journalled until marked).
    void EndDelivery(bool taken) noexcept TLY_EXCLUDES(lock_);
    // Their marks succeeded.
    void Marked(std::int32_t panelId, const std::vector<std::int32_t>& admIds) noexcept TLY_EXCLUDES(lock_);
    bool IsHeldBack(std::int32_t panelId, std::int32_t admId) const noexcept TLY_EXCLUDES(lock_);

    // Before a delivery: true when the journal is not open or can take one
    // more id (growing the file if it must). False, with the reason, at the
    // bound or when the file cannot grow: nothing may be delivered then.
    bool MakeRoom(std::string& whyNot) noexcept TLY_EXCLUDES(lock_);
    // The most ids it holds taken and not marked: journal::kMostTakenSlots,
    // less in tests.
    std::uint32_t MostTaken() const noexcept { return mostTaken_.load(); }
    void SetMostTakenForTesting(std::uint32_t most) noexcept { mostTaken_.store(most); }

    // How full it is, per panel, for the live status: cheap (the taken ids
    // are counted as they come and go; the held-back ones are few).
    struct Counts {
        std::uint64_t fileBytes = 0;
        std::map<std::int32_t, std::uint32_t> taken;
        std::map<std::int32_t, std::uint32_t> heldBack;
    };
    Counts CountsNow() const TLY_EXCLUDES(lock_);

private:
    static std::int32_t PanelOf(std::uint64_t key) noexcept { return static_cast<std::int32_t>(key >> 32); }
    static std::uint64_t Key(std::int32_t panelId, std::int32_t admId) noexcept {
        return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(panelId)) << 32) |
               static_cast<std::uint32_t>(admId);
    }
    unsigned char* Bytes(std::size_t offset) const noexcept TLY_REQUIRES(lock_);
    journal::ActivityRecord* UnderWay() const noexcept TLY_REQUIRES(lock_);
    journal::ActivityRecord* Suspect(std::uint32_t slot) const noexcept TLY_REQUIRES(lock_);
    journal::TakenRecord* Taken(std::uint32_t slot) const noexcept TLY_REQUIRES(lock_);
    std::size_t TakenRegionOf(std::uint32_t slot) const noexcept TLY_REQUIRES(lock_);
    bool MapFile(const std::wstring& path, bool& createdNew, DWORD& error) TLY_REQUIRES(lock_);
    bool MapView(std::size_t size) noexcept TLY_REQUIRES(lock_);
    bool Resize(std::size_t size, DWORD& error) noexcept TLY_REQUIRES(lock_);
    bool Grow(std::uint32_t kind, DWORD& error) noexcept TLY_REQUIRES(lock_);
    void ShrinkLocked() noexcept TLY_REQUIRES(lock_);
    std::uint32_t FirstFreeSuspectLocked() const noexcept TLY_REQUIRES(lock_);
    std::uint32_t FreeSuspectSlotLocked() noexcept TLY_REQUIRES(lock_);
    void WriteOwnerLocked(std::uint32_t processId) noexcept TLY_REQUIRES(lock_);
    std::optional<StartReport> OpenLocked(const std::string& directory, bool retry) TLY_REQUIRES(lock_);
    void NoteOwnedElsewhereLocked(const std::string& directory, const std::wstring& path, bool retry)
        TLY_REQUIRES(lock_);
    void LogHeldBack(const std::vector<journal::Activity>& heldBack);
    StartReport Recover(const journal::Contents& contents) TLY_REQUIRES(lock_);
    void AddTakenLocked(std::int32_t panelId, std::int32_t admId) noexcept TLY_REQUIRES(lock_);
    void FreeSuspectLocked(std::int32_t panelId, std::int32_t admId) noexcept TLY_REQUIRES(lock_);
    void SuspendDeliveryLocked() noexcept TLY_REQUIRES(lock_);
    void ResumeDeliveryLocked() noexcept TLY_REQUIRES(lock_);
    void CloseLocked() noexcept TLY_REQUIRES(lock_);

    mutable tly::Mutex lock_;
    std::atomic<std::uint32_t> mostTaken_{journal::kMostTakenSlots};
    std::string directory_ TLY_GUARDED_BY(lock_);
    // The folder whose journal another process holds; empty when not waiting.
    std::string waitingFor_ TLY_GUARDED_BY(lock_);
    std::uint32_t waitingSince_ TLY_GUARDED_BY(lock_) = 0;  // tick of the first refusal
    std::uint32_t lastWaitLine_ TLY_GUARDED_BY(lock_) = 0;
    // Under way when the journal was closed.
    std::optional<journal::ActivityRecord> deliveryAcrossClose_ TLY_GUARDED_BY(lock_);
    tly::UniqueFileHandle file_ TLY_GUARDED_BY(lock_);
    tly::UniqueHandle mapping_ TLY_GUARDED_BY(lock_);
    tly::UniqueMappedView view_ TLY_GUARDED_BY(lock_);
    std::size_t fileBytes_ TLY_GUARDED_BY(lock_) = 0;  // mapped, all of the file
    journal::Layout layout_ TLY_GUARDED_BY(lock_);
    std::uint32_t sequence_ TLY_GUARDED_BY(lock_) = 0;
    std::unordered_map<std::uint64_t, std::uint32_t> takenSlots_ TLY_GUARDED_BY(lock_);  // key -> slot
    std::map<std::int32_t, std::uint32_t> takenByPanel_ TLY_GUARDED_BY(lock_);  // counts of takenSlots_
    // A heap, lowest slot first: ids gather at the start of the file, so the
    // last extents empty as marks succeed and can be given back.
    std::vector<std::uint32_t> freeTakenSlots_ TLY_GUARDED_BY(lock_);
    std::vector<std::uint32_t> takenInRegion_ TLY_GUARDED_BY(lock_);  // per layout_.taken region
    std::unordered_map<std::uint64_t, std::uint32_t> suspectSlots_ TLY_GUARDED_BY(lock_);  // key -> slot
    std::unordered_map<std::uint64_t, bool> heldBack_ TLY_GUARDED_BY(lock_);
};

// A file of the journal's in the folder (kDeliveryJournalFileName, ...).
std::wstring DeliveryJournalPath(const std::string& directory, const char* name);

// The operator's release of a held-back activity (HeldActivities.cpp), for a process that does not
// own the journal (the host stopped). False with the reason when the journal
// cannot be opened or holds no such activity.
bool ReleaseHeldActivity(const std::string& directory, std::int32_t panelId, std::int32_t admId, std::string& reason);

// How full the journal in the folder is, read without taking the file from
// its owner: what the field check and the support bundle show.
struct JournalUsage {
    std::size_t taken = 0;  // ids taken and not marked
    std::size_t heldBack = 0;
    std::size_t fileBytes = 0;
    std::map<std::int32_t, std::size_t> takenByPanel;
    std::map<std::int32_t, std::size_t> heldBackByPanel;
};
bool ReadJournalUsage(const std::string& directory, JournalUsage& usage, std::string& reason);

// The held-back activities of the journal in the folder, read without taking
// the file from its owner; empty when there is none or it cannot be read.
std::vector<journal::Activity> ReadHeldActivities(const std::string& directory, std::string* reason = nullptr);
