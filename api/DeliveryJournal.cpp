#include "api/DeliveryJournal.h"

#include "logging/AttentionEvents.h"
#include "logging/Log.h"
#include "platform/Clock.h"
#include "platform/TextConversion.h"

#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <functional>
#include <set>

namespace {

constexpr std::uint32_t kNoSlot = 0xFFFFFFFF;

LogFields ActivityFields(const journal::Activity& activity) {
    return {{"panel_id", activity.panelId},
            {"adm_id", activity.admId},
            {"badge_no", activity.badgeNo},
            {"activity", activity.text}};
}

// The Event Log's reason for a journal that could not be opened.
std::string OpenFailure(DWORD error) {
    return "it could not be opened (Windows error " + std::to_string(error) + "); delivering without one";
}

void CopyText(journal::ActivityRecord& record, std::string_view text) noexcept {
    const std::size_t length = std::min<std::size_t>(text.size(), journal::kTextCapacity);
    std::memcpy(record.text, text.data(), length);
    record.textLength = static_cast<std::uint32_t>(length);
}

// The process id the owner wrote into the header; 0 when it cannot be read.
std::uint32_t ReadJournalOwner(const std::wstring& path) noexcept {
    tly::UniqueFileHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    journal::Header header{};
    DWORD read = 0;
    if (!file || !::ReadFile(file.get(), &header, sizeof header, &read, nullptr) || read != sizeof header ||
        std::memcmp(header.magic, journal::kMagic, sizeof journal::kMagic) != 0) {
        return 0;
    }
    return header.reserved;
}

}  // namespace

std::wstring DeliveryJournalPath(const std::string& directory, const char* name) {
    return tly::Utf8ToWide(directory + "\\" + name);
}

unsigned char* DeliveryJournal::Bytes(std::size_t offset) const noexcept {
    return static_cast<unsigned char*>(view_.get()) + offset;
}

journal::ActivityRecord* DeliveryJournal::UnderWay() const noexcept {
    return reinterpret_cast<journal::ActivityRecord*>(Bytes(journal::kUnderWayOffset));
}

// A slot's region: there are a handful, the base part's first.
journal::ActivityRecord* DeliveryJournal::Suspect(std::uint32_t slot) const noexcept {
    for (const journal::Region& region : layout_.suspects) {
        if (slot - region.firstSlot < region.slots) {
            return reinterpret_cast<journal::ActivityRecord*>(Bytes(region.offset)) + (slot - region.firstSlot);
        }
    }
    return nullptr;  // never: every slot handed out is in a region
}

std::size_t DeliveryJournal::TakenRegionOf(std::uint32_t slot) const noexcept {
    std::size_t index = 0;
    while (index + 1 < layout_.taken.size() && slot >= layout_.taken[index + 1].firstSlot) ++index;
    return index;
}

journal::TakenRecord* DeliveryJournal::Taken(std::uint32_t slot) const noexcept {
    const journal::Region& region = layout_.taken[TakenRegionOf(slot)];
    return reinterpret_cast<journal::TakenRecord*>(Bytes(region.offset)) + (slot - region.firstSlot);
}

bool DeliveryJournal::IsOpen() const {
    tly::MutexLock guard(lock_);
    return view_.get() != nullptr;
}

// Maps the whole file, of this size, for writing.
bool DeliveryJournal::MapView(std::size_t size) noexcept {
    view_.reset();
    mapping_.reset();
    mapping_.reset(::CreateFileMappingW(file_.get(), nullptr, PAGE_READWRITE, 0, static_cast<DWORD>(size), nullptr));
    if (mapping_) view_.reset(::MapViewOfFile(mapping_.get(), FILE_MAP_WRITE, 0, 0, size));
    if (!view_) return false;
    fileBytes_ = size;
    return true;
}

// Makes the file this long and maps it again; the bytes added read as zeros.
// The view moves: no record pointer outlives a call. On failure the file is
// mapped as it was, if it can be; else the journal is closed.
bool DeliveryJournal::Resize(std::size_t size, DWORD& error) noexcept {
    const std::size_t before = fileBytes_;
    view_.reset();
    mapping_.reset();
    LARGE_INTEGER end{};
    end.QuadPart = static_cast<LONGLONG>(size);
    if (::SetFilePointerEx(file_.get(), end, nullptr, FILE_BEGIN) && ::SetEndOfFile(file_.get()) && MapView(size)) {
        return true;
    }
    error = ::GetLastError();
    if (!MapView(before)) CloseLocked();
    return false;
}

// Opened for reading by others (the field check lists what is held back) but
// never for writing: a second translator process is refused.
bool DeliveryJournal::MapFile(const std::wstring& path, bool& createdNew, DWORD& error) {
    file_.reset(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file_) {
        error = ::GetLastError();
        return false;
    }
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(file_.get(), &size)) {
        error = ::GetLastError();
        return false;
    }
    createdNew = size.QuadPart == 0;
    if (createdNew) {
        LARGE_INTEGER end{};
        end.QuadPart = journal::kFileSize;
        if (!::SetFilePointerEx(file_.get(), end, nullptr, FILE_BEGIN) || !::SetEndOfFile(file_.get())) {
            error = ::GetLastError();
            return false;
        }
        size.QuadPart = journal::kFileSize;
    } else if (size.QuadPart < static_cast<LONGLONG>(journal::kFileSize) ||
               size.QuadPart > static_cast<LONGLONG>(journal::kMostFileSize)) {
        error = ERROR_INVALID_DATA;  // not ours to map: read as damaged by the caller
        return false;
    }
    if (!MapView(static_cast<std::size_t>(size.QuadPart))) {
        error = ::GetLastError();
        return false;
    }
    if (createdNew) journal::WriteEmptyImage(Bytes(0));
    return true;
}

// The header's last word names the process that owns the file, for one that
// finds it taken; 0 when none does. Older readers ignore the word.
void DeliveryJournal::WriteOwnerLocked(std::uint32_t processId) noexcept {
    if (!view_) return;
    std::memcpy(Bytes(offsetof(journal::Header, reserved)), &processId, sizeof processId);
}

std::optional<DeliveryJournal::StartReport> DeliveryJournal::Open(const std::string& directory) {
    tly::MutexLock guard(lock_);
    return OpenLocked(directory, false);
}

bool DeliveryJournal::WaitingForOwner() const {
    tly::MutexLock guard(lock_);
    return !waitingFor_.empty();
}

std::optional<DeliveryJournal::StartReport> DeliveryJournal::TakeOverIfFree() {
    tly::MutexLock guard(lock_);
    if (waitingFor_.empty()) return std::nullopt;
    const std::string directory = waitingFor_;
    return OpenLocked(directory, true);
}

// The journal another process holds. The first refusal is a warning; a wait
// past a minute is an error every minute, since two hosts on one folder is a
// misconfiguration only the operator can end.
void DeliveryJournal::NoteOwnedElsewhereLocked(const std::string& directory, const std::wstring& path, bool retry) {
    const std::uint32_t now = tly::CurrentClock().TickCount();
    if (!retry || waitingFor_ != directory) {
        waitingFor_ = directory;
        waitingSince_ = now;
        lastWaitLine_ = now;
        // The holder's process id when it wrote one (a build that did not leaves 0).
        const std::uint32_t holder = ReadJournalOwner(path);
        const std::string where = tly::WideToUtf8(path);
        LogApiEvent(LogLevel::Warn, "activities.journal_in_use",
                    "Another process owns the delivery journal; activities wait until it is free",
                    holder ? LogFields{{"path", where}, {"holder_process_id", static_cast<std::int64_t>(holder)}}
                           : LogFields{{"path", where}});
        return;
    }
    constexpr std::uint32_t kWaitLineEveryMs = 60000;
    if (now - lastWaitLine_ < kWaitLineEveryMs) return;  // unsigned: wrap-safe
    lastWaitLine_ = now;
    LogApiEvent(LogLevel::Error, "activities.journal_still_in_use",
                "Another process has owned the delivery journal for over a minute; activities wait until it "
                "is free (two hosts may be using one folder)",
                {{"path", tly::WideToUtf8(path)}, {"waited_s", static_cast<std::int64_t>((now - waitingSince_) / 1000)}});
}

std::optional<DeliveryJournal::StartReport> DeliveryJournal::OpenLocked(const std::string& directory, bool retry) {
    if (view_ && directory_ == directory) return StartReport{};
    SuspendDeliveryLocked();
    CloseLocked();

    const std::wstring path = DeliveryJournalPath(directory, kDeliveryJournalFileName);
    for (int attempt = 0; attempt < 2; ++attempt) {
        bool createdNew = false;
        DWORD error = ERROR_SUCCESS;
        journal::Contents contents;
        std::string reason;
        if (MapFile(path, createdNew, error)) {
            if (createdNew) contents.layout = journal::BaseLayout();
            if (createdNew || journal::ReadImage(Bytes(0), fileBytes_, contents, reason)) {
                directory_ = directory;
                layout_ = contents.layout;
                // What a growth cut short added after the last extent goes.
                if (fileBytes_ > layout_.end) {
                    DWORD cutError = ERROR_SUCCESS;
                    if (!Resize(layout_.end, cutError) && !view_) {
                        LogApiEvent(LogLevel::Error, "activities.journal_open_failed",
                                    "Could not open the delivery journal; delivering without one",
                                    {{"path", tly::WideToUtf8(path)}, {"win32_error", static_cast<std::int64_t>(cutError)}});
                        AttentionEvents::Instance().JournalDamaged(OpenFailure(cutError), tly::WideToUtf8(path));
                        return std::nullopt;
                    }
                }
                WriteOwnerLocked(::GetCurrentProcessId());
                if (!waitingFor_.empty()) {
                    LogApiEvent(LogLevel::Info, "activities.journal_taken_over",
                                "The delivery journal is free; delivering with it again",
                                {{"path", tly::WideToUtf8(path)},
                                 {"waited_s", static_cast<std::int64_t>(
                                                  (tly::CurrentClock().TickCount() - waitingSince_) / 1000)}});
                    waitingFor_.clear();
                }
                if (createdNew) {
                    LogApiEvent(LogLevel::Info, "activities.journal_created", "Delivery journal started",
                                {{"path", tly::WideToUtf8(path)}});
                }
                StartReport report = Recover(contents);
                ResumeDeliveryLocked();
                return report;
            }
        } else if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION) {
            CloseLocked();
            NoteOwnedElsewhereLocked(directory, path, retry);
            return std::nullopt;
        } else if (error != ERROR_INVALID_DATA) {
            CloseLocked();
            LogApiEvent(LogLevel::Error, "activities.journal_open_failed",
                        "Could not open the delivery journal; delivering without one",
                        {{"path", tly::WideToUtf8(path)}, {"win32_error", static_cast<std::int64_t>(error)}});
            AttentionEvents::Instance().JournalDamaged(OpenFailure(error), tly::WideToUtf8(path));
            return std::nullopt;
        } else {
            reason = "its size is not a journal's";
        }

        // Damaged: set it aside for whoever looks into it, and start anew.
        CloseLocked();
        const std::wstring aside = DeliveryJournalPath(directory, kDamagedJournalFileName);
        const bool setAside = ::MoveFileExW(path.c_str(), aside.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
        LogApiEvent(LogLevel::Error, "activities.journal_damaged",
                    "The delivery journal is damaged; it was set aside and a new one started",
                    {{"path", tly::WideToUtf8(path)},
                     {"set_aside_as", setAside ? tly::WideToUtf8(aside) : std::string()},
                     {"reason", reason}});
        AttentionEvents::Instance().JournalDamaged(
            "it is damaged (" + reason + "); " +
                (setAside ? "it was set aside as " + tly::WideToUtf8(aside) + " and a new one started"
                          : std::string("it could not be set aside")),
            tly::WideToUtf8(path));
        if (!setAside) break;
    }
    CloseLocked();
    return std::nullopt;
}

// What the file says about the process before: the call-back it was in when
// it ended is counted against that activity, once per delivery.
DeliveryJournal::StartReport DeliveryJournal::Recover(const journal::Contents& contents) {
    StartReport report;
    sequence_ = contents.underWay ? contents.underWayActivity.sequence : 0;
    for (const journal::Suspect& suspect : contents.suspects) {
        const std::uint64_t key = Key(suspect.activity.panelId, suspect.activity.admId);
        suspectSlots_[key] = suspect.slot;
        if (suspect.heldBack) heldBack_[key] = true;
        sequence_ = std::max(sequence_, suspect.activity.sequence);
    }
    if (contents.underWay) {
        const journal::Activity& ended = contents.underWayActivity;
        const std::uint64_t key = Key(ended.panelId, ended.admId);
        auto known = suspectSlots_.find(key);
        journal::ActivityRecord* record = nullptr;
        if (known != suspectSlots_.end()) {
            record = Suspect(known->second);
        } else if (const std::uint32_t slot = FreeSuspectSlotLocked(); slot != kNoSlot) {
            record = Suspect(slot);
            record->state = journal::kFreeSuspect;
            record->panelId = ended.panelId;
            record->admId = ended.admId;
            record->badgeNo = ended.badgeNo;
            record->crashes = 0;
            CopyText(*record, ended.text);
            suspectSlots_[key] = slot;
        }
        if (record) {
            // A start that itself ended before the under-way record was
            // cleared must not count the same delivery twice.
            if (record->crashes == 0 || record->sequence != ended.sequence) {
                record->sequence = ended.sequence;
                ++record->crashes;
            }
            std::atomic_signal_fence(std::memory_order_seq_cst);
            record->state = record->crashes >= 2 ? journal::kHeldBack : journal::kInterruptedOnce;
            journal::Activity counted = ended;
            counted.crashes = record->crashes;
            if (record->state == journal::kHeldBack) {
                heldBack_[key] = true;
            } else {
                report.interrupted = counted;
            }
        } else {
            // Every suspect slot holds an activity held back (MakeRoom
            // stops delivery before that): this one is offered again.
            journal::Activity counted = ended;
            counted.crashes = 1;
            report.interrupted = counted;
        }
        UnderWay()->state = journal::kIdle;
    }
    for (const journal::Region& region : layout_.suspects) {
        for (std::uint32_t i = 0; i < region.slots; ++i) {
            const journal::ActivityRecord& record = *Suspect(region.firstSlot + i);
            if (record.state != journal::kHeldBack) continue;
            journal::Activity held;
            held.panelId = record.panelId;
            held.admId = record.admId;
            held.badgeNo = record.badgeNo;
            held.crashes = record.crashes;
            held.text.assign(record.text, std::min(record.textLength, journal::kTextCapacity));
            report.heldBack.push_back(std::move(held));
        }
    }

    for (std::uint32_t slot : contents.repeatedTakenSlots) Taken(slot)->state = journal::kFreeTaken;
    std::vector<bool> used(layout_.TakenSlots(), false);
    freeTakenSlots_.reserve(layout_.TakenSlots());  // a mark never has to allocate
    takenInRegion_.assign(layout_.taken.size(), 0);
    takenSlots_.reserve(contents.taken.size());
    report.taken.reserve(contents.taken.size());
    for (const auto& entry : contents.taken) {
        used[entry.first] = true;
        ++takenInRegion_[TakenRegionOf(entry.first)];
        if (takenSlots_.insert_or_assign(Key(entry.second.first, entry.second.second), entry.first).second) {
            ++takenByPanel_[entry.second.first];
        }
        report.taken.push_back(entry.second);
    }
    for (std::uint32_t slot = 0; slot < used.size(); ++slot) {
        if (!used[slot]) freeTakenSlots_.push_back(slot);
    }
    std::make_heap(freeTakenSlots_.begin(), freeTakenSlots_.end(), std::greater<>());
    ShrinkLocked();

    if (report.interrupted) {
        LogFields fields = ActivityFields(*report.interrupted);
        LogApiEvent(LogLevel::Error, "activities.delivery_interrupted",
                    "The process ended during the delivery of this activity to the host; it is offered once more",
                    fields);
    }
    LogHeldBack(report.heldBack);
    if (!report.taken.empty()) {
        LogApiEvent(LogLevel::Info, "activities.journal_recovered",
                    "Activities the host took before the restart will be marked without a second delivery",
                    {{"count", static_cast<std::int64_t>(report.taken.size())}});
    }
    return report;
}

// Each activity held back has a line of its own at every start, up to a
// few; more than that is one line with their number.
void DeliveryJournal::LogHeldBack(const std::vector<journal::Activity>& heldBack) {
    if (!heldBack.empty()) {
        std::vector<AttentionEvents::HeldActivity> held;
        held.reserve(heldBack.size());
        for (const journal::Activity& activity : heldBack) held.push_back({activity.panelId, activity.admId});
        AttentionEvents::Instance().HeldBack(held);
    }
    constexpr std::size_t kLinesOfTheirOwn = 5;
    for (std::size_t i = 0; i < heldBack.size() && i < kLinesOfTheirOwn; ++i) {
        LogFields fields = ActivityFields(heldBack[i]);
        fields.emplace_back("crashes", static_cast<std::int64_t>(heldBack[i].crashes));
        LogApiEvent(LogLevel::Error, "activities.held_back",
                    "The process ended twice during the delivery of this activity; it is held back, neither "
                    "delivered nor marked, until released with tallyport-check --release-held",
                    fields);
    }
    if (heldBack.size() <= kLinesOfTheirOwn) return;
    std::set<std::int32_t> panels;
    for (const journal::Activity& held : heldBack) panels.insert(held.panelId);
    std::string listed;
    for (std::int32_t panel : panels) {
        if (!listed.empty()) listed += "; ";
        listed += "tallyport-check --panel " + std::to_string(panel);
    }
    LogApiEvent(LogLevel::Error, "activities.held_back_many",
                "Many activities are held back, each after the process ended twice while it was being handed "
                "over; list them with the command given",
                {{"count", static_cast<std::int64_t>(heldBack.size())},
                 {"panels", static_cast<std::int64_t>(panels.size())},
                 {"command", listed}});
}

// The module or the process ends: a delivery under way stays recorded as
// one during which it ended.
DeliveryJournal::~DeliveryJournal() {
    tly::MutexLock guard(lock_);
    CloseLocked();
}

void DeliveryJournal::Close() noexcept {
    tly::MutexLock guard(lock_);
    SuspendDeliveryLocked();
    WriteOwnerLocked(0);
    CloseLocked();
    waitingFor_.clear();
}

// Only for the journal that was opened: a file being read at an open is not
// written before it is accepted.
void DeliveryJournal::SuspendDeliveryLocked() noexcept {
    if (!view_ || UnderWay()->state != journal::kUnderWay) return;
    deliveryAcrossClose_ = *UnderWay();
    UnderWay()->state = journal::kIdle;
}

void DeliveryJournal::CloseLocked() noexcept {
    view_.reset();
    mapping_.reset();
    file_.reset();
    fileBytes_ = 0;
    directory_.clear();
    layout_ = journal::Layout{};
    takenSlots_.clear();
    takenByPanel_.clear();
    freeTakenSlots_.clear();
    takenInRegion_.clear();
    suspectSlots_.clear();
    heldBack_.clear();
}

// The delivery that was under way when the journal was closed, under way
// again in the file just opened, as a delivery of its own.
void DeliveryJournal::ResumeDeliveryLocked() noexcept {
    if (!deliveryAcrossClose_) return;
    journal::ActivityRecord& record = *UnderWay();
    record = *deliveryAcrossClose_;
    record.state = journal::kIdle;
    record.sequence = ++sequence_;
    deliveryAcrossClose_.reset();
    std::atomic_signal_fence(std::memory_order_seq_cst);
    record.state = journal::kUnderWay;
}

// The record's fields go in before its state: whenever the state says "under
// way", the fields beside it are whole.
void DeliveryJournal::BeginDelivery(std::int32_t panelId, std::int32_t admId, std::int64_t badgeNo,
                                    std::string_view text) noexcept {
    tly::MutexLock guard(lock_);
    deliveryAcrossClose_.reset();
    if (!view_) return;
    journal::ActivityRecord& record = *UnderWay();
    record.state = journal::kIdle;
    record.panelId = panelId;
    record.admId = admId;
    record.badgeNo = badgeNo;
    record.sequence = ++sequence_;
    record.crashes = 0;
    CopyText(record, text);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    record.state = journal::kUnderWay;
}

// The id is journalled as taken before the record under way is cleared: a
// process ending in between leaves it taken, which is what the host said.
void DeliveryJournal::EndDelivery(bool taken) noexcept {
    tly::MutexLock guard(lock_);
    deliveryAcrossClose_.reset();
    if (!view_) return;
    if (UnderWay()->state != journal::kUnderWay) return;
    if (taken) {
        const std::int32_t panelId = UnderWay()->panelId;
        const std::int32_t admId = UnderWay()->admId;
        AddTakenLocked(panelId, admId);  // may grow the file: the view moves
        if (!view_) return;
        FreeSuspectLocked(panelId, admId);
    }
    std::atomic_signal_fence(std::memory_order_seq_cst);
    UnderWay()->state = journal::kIdle;
}

// Into the lowest free slot, growing the file when there is none (MakeRoom
// has made sure it can before the delivery began).
void DeliveryJournal::AddTakenLocked(std::int32_t panelId, std::int32_t admId) noexcept {
    try {
        const std::uint64_t key = Key(panelId, admId);
        if (takenSlots_.count(key)) return;
        DWORD error = ERROR_SUCCESS;
        if (freeTakenSlots_.empty() && !Grow(journal::kTakenExtent, error)) return;  // the ledger still has it
        std::pop_heap(freeTakenSlots_.begin(), freeTakenSlots_.end(), std::greater<>());
        const std::uint32_t slot = freeTakenSlots_.back();
        freeTakenSlots_.pop_back();
        try {
            takenSlots_[key] = slot;
            try {
                ++takenByPanel_[panelId];
            } catch (...) {
                takenSlots_.erase(key);
                throw;
            }
        } catch (...) {
            freeTakenSlots_.push_back(slot);
            std::push_heap(freeTakenSlots_.begin(), freeTakenSlots_.end(), std::greater<>());
            throw;
        }
        journal::TakenRecord& entry = *Taken(slot);
        entry.panelId = panelId;
        entry.admId = admId;
        std::atomic_signal_fence(std::memory_order_seq_cst);
        entry.state = journal::kTaken;
        ++takenInRegion_[TakenRegionOf(slot)];
    } catch (...) {
        // Out of memory: this id is not journalled; the ledger in memory still has it.
    }
}

// One more extent of this kind, as many slots as there are (or up to the
// bound). The file is made longer first, then the extent's bytes are
// cleared (they may hold what a shrink cut short left), then its header is
// written with the kind last: a process killed anywhere in between leaves a
// journal that opens as it was before.
bool DeliveryJournal::Grow(std::uint32_t kind, DWORD& error) noexcept {
    const bool taken = kind == journal::kTakenExtent;
    const std::uint32_t current = taken ? layout_.TakenSlots() : layout_.SuspectSlots();
    const std::uint32_t most = taken ? std::min(MostTaken(), journal::kMostTakenSlots) : journal::kMostSuspectSlots;
    if (current >= most) {
        error = ERROR_DISK_FULL;
        return false;
    }
    try {
        // Reserved first, so nothing below can fail once the file has grown.
        const std::uint32_t slots = std::min(current, most - current);
        if (taken) {
            freeTakenSlots_.reserve(std::size_t{current} + slots);  // every slot may be free at once
            takenInRegion_.reserve(takenInRegion_.size() + 1);
            layout_.taken.reserve(layout_.taken.size() + 1);
        } else {
            layout_.suspects.reserve(layout_.suspects.size() + 1);
        }
        const std::size_t at = layout_.end;
        const std::size_t end = at + journal::ExtentBytes(kind, slots);
        if (end > fileBytes_ && !Resize(end, error)) return false;
        std::memset(Bytes(at), 0, end - at);
        journal::ExtentHeader header{};
        header.slots = slots;
        std::memcpy(Bytes(at), &header, sizeof header);
        std::atomic_signal_fence(std::memory_order_seq_cst);
        std::memcpy(Bytes(at), &kind, sizeof kind);

        const journal::Region region{at + sizeof header, current, slots, at};
        layout_.end = end;
        if (taken) {
            layout_.taken.push_back(region);
            takenInRegion_.push_back(0);
            for (std::uint32_t slot = current; slot < current + slots; ++slot) {
                freeTakenSlots_.push_back(slot);
                std::push_heap(freeTakenSlots_.begin(), freeTakenSlots_.end(), std::greater<>());
            }
        } else {
            layout_.suspects.push_back(region);
        }
        LogApiEvent(LogLevel::Info, "activities.journal_grown", "The delivery journal grew to hold more",
                    {{"kind", taken ? "taken" : "suspects"},
                     {"slots", static_cast<std::int64_t>(current + slots)},
                     {"file_bytes", static_cast<std::int64_t>(end)}});
        return true;
    } catch (...) {
        error = ERROR_NOT_ENOUGH_MEMORY;
        return false;
    }
}

// Gives the last extent back while nothing is in it: its kind is cleared
// before the file is cut. A taken extent goes only once a quarter of the
// slots or fewer are in use, so ids coming and going at the edge do not
// grow and cut the file each time.
void DeliveryJournal::ShrinkLocked() noexcept {
    for (;;) {
        const bool lastIsTaken = layout_.taken.back().extentOffset > layout_.suspects.back().extentOffset;
        const journal::Region last = lastIsTaken ? layout_.taken.back() : layout_.suspects.back();
        if (last.extentOffset == 0) return;  // the base part alone
        if (lastIsTaken) {
            if (takenInRegion_.back() != 0 || takenSlots_.size() > (last.firstSlot) / 2) return;
        } else {
            for (const auto& entry : suspectSlots_) {
                if (entry.second >= last.firstSlot) return;
            }
        }
        std::memset(Bytes(last.extentOffset), 0, sizeof(std::uint32_t));
        std::atomic_signal_fence(std::memory_order_seq_cst);
        DWORD error = ERROR_SUCCESS;
        if (!Resize(last.extentOffset, error)) {
            if (!view_) return;  // closed, and logged by the next open
            // Still as long: the extent's kind is cleared, so it is gone all the same.
        }
        layout_.end = last.extentOffset;
        if (lastIsTaken) {
            layout_.taken.pop_back();
            takenInRegion_.pop_back();
            const std::uint32_t slots = layout_.TakenSlots();
            freeTakenSlots_.erase(std::remove_if(freeTakenSlots_.begin(), freeTakenSlots_.end(),
                                                 [slots](std::uint32_t slot) { return slot >= slots; }),
                                  freeTakenSlots_.end());
            std::make_heap(freeTakenSlots_.begin(), freeTakenSlots_.end(), std::greater<>());
        } else {
            layout_.suspects.pop_back();
        }
        LogApiEvent(LogLevel::Info, "activities.journal_shrunk", "The delivery journal gave back room it no longer needs",
                    {{"kind", lastIsTaken ? "taken" : "suspects"},
                     {"slots", static_cast<std::int64_t>(lastIsTaken ? layout_.TakenSlots() : layout_.SuspectSlots())},
                     {"file_bytes", static_cast<std::int64_t>(fileBytes_)}});
    }
}

// A slot for an activity during whose call-back the process ended: a free
// one, else one more extent, else the oldest that was interrupted only once
// (it loses its count and is offered again). kNoSlot when every slot is held
// back at the bound.
std::uint32_t DeliveryJournal::FirstFreeSuspectLocked() const noexcept {
    if (suspectSlots_.size() >= layout_.SuspectSlots()) return kNoSlot;
    for (std::uint32_t slot = 0; slot < layout_.SuspectSlots(); ++slot) {
        if (Suspect(slot)->state == journal::kFreeSuspect) return slot;
    }
    return kNoSlot;
}

std::uint32_t DeliveryJournal::FreeSuspectSlotLocked() noexcept {
    if (const std::uint32_t slot = FirstFreeSuspectLocked(); slot != kNoSlot) return slot;
    DWORD error = ERROR_SUCCESS;
    if (Grow(journal::kSuspectExtent, error)) return FirstFreeSuspectLocked();
    std::uint32_t oldest = kNoSlot;
    for (std::uint32_t slot = 0; slot < layout_.SuspectSlots(); ++slot) {
        const journal::ActivityRecord& record = *Suspect(slot);
        if (record.state == journal::kInterruptedOnce && (oldest == kNoSlot || record.sequence < Suspect(oldest)->sequence)) {
            oldest = slot;
        }
    }
    if (oldest == kNoSlot) return kNoSlot;
    Suspect(oldest)->state = journal::kFreeSuspect;
    for (auto it = suspectSlots_.begin(); it != suspectSlots_.end();) {
        it = it->second == oldest ? suspectSlots_.erase(it) : std::next(it);
    }
    return oldest;
}

bool DeliveryJournal::MakeRoom(std::string& whyNot) noexcept {
    tly::MutexLock guard(lock_);
    if (!view_) return true;
    if (heldBack_.size() >= journal::kMostSuspectSlots) {
        whyNot = "every slot for activities held back is in use";
        return false;
    }
    if (takenSlots_.size() >= MostTaken()) {
        whyNot = "it holds " + std::to_string(takenSlots_.size()) + " ids taken and not marked, the most it may";
        return false;
    }
    if (!freeTakenSlots_.empty()) return true;
    DWORD error = ERROR_SUCCESS;
    if (Grow(journal::kTakenExtent, error)) return true;
    if (!view_) return true;  // lost the file: delivering without it, as when it cannot be opened
    whyNot = "the file could not grow (error=" + std::to_string(error) + ")";
    return false;
}

void DeliveryJournal::FreeSuspectLocked(std::int32_t panelId, std::int32_t admId) noexcept {
    if (suspectSlots_.empty()) return;
    auto found = suspectSlots_.find(Key(panelId, admId));
    if (found == suspectSlots_.end()) return;
    Suspect(found->second)->state = journal::kFreeSuspect;
    heldBack_.erase(found->first);
    suspectSlots_.erase(found);
}

void DeliveryJournal::Marked(std::int32_t panelId, const std::vector<std::int32_t>& admIds) noexcept {
    tly::MutexLock guard(lock_);
    if (!view_) return;
    for (std::int32_t id : admIds) {
        auto found = takenSlots_.find(Key(panelId, id));
        if (found == takenSlots_.end()) continue;
        const std::uint32_t slot = found->second;
        Taken(slot)->state = journal::kFreeTaken;
        --takenInRegion_[TakenRegionOf(slot)];
        if (auto count = takenByPanel_.find(panelId); count != takenByPanel_.end() && count->second > 0) {
            --count->second;
        }
        takenSlots_.erase(found);
        freeTakenSlots_.push_back(slot);  // reserved when its extent was made: cannot throw
        std::push_heap(freeTakenSlots_.begin(), freeTakenSlots_.end(), std::greater<>());
    }
    if (layout_.end > journal::kFileSize) ShrinkLocked();
}

DeliveryJournal::Counts DeliveryJournal::CountsNow() const {
    Counts counts;
    tly::MutexLock guard(lock_);
    counts.fileBytes = view_ ? fileBytes_ : 0;
    counts.taken = takenByPanel_;
    for (const auto& entry : heldBack_) ++counts.heldBack[PanelOf(entry.first)];
    return counts;
}

bool DeliveryJournal::IsHeldBack(std::int32_t panelId, std::int32_t admId) const noexcept {
    tly::MutexLock guard(lock_);
    return !heldBack_.empty() && heldBack_.count(Key(panelId, admId)) != 0;
}
