#include "api/DeliveryJournal.h"

#include "logging/Log.h"
#include "platform/Clock.h"
#include "platform/TextConversion.h"

#include <windows.h>

#include <algorithm>
#include <cstring>

namespace {

LogFields ActivityFields(const journal::Activity& activity) {
    return {{"panel_id", activity.panelId},
            {"adm_id", activity.admId},
            {"badge_no", activity.badgeNo},
            {"activity", activity.text}};
}

void CopyText(journal::ActivityRecord& record, std::string_view text) noexcept {
    const std::size_t length = std::min<std::size_t>(text.size(), journal::kTextCapacity);
    std::memcpy(record.text, text.data(), length);
    record.textLength = static_cast<std::uint32_t>(length);
}

}  // namespace

std::wstring DeliveryJournalPath(const std::string& directory, const char* name) {
    return tly::Utf8ToWide(directory + "\\" + name);
}

journal::ActivityRecord* DeliveryJournal::UnderWay() const noexcept {
    return reinterpret_cast<journal::ActivityRecord*>(static_cast<unsigned char*>(view_.get()) +
                                                      journal::kUnderWayOffset);
}

journal::ActivityRecord* DeliveryJournal::Suspect(std::uint32_t slot) const noexcept {
    return reinterpret_cast<journal::ActivityRecord*>(static_cast<unsigned char*>(view_.get()) +
                                                      journal::kSuspectsOffset) + slot;
}

journal::TakenRecord* DeliveryJournal::Taken(std::uint32_t slot) const noexcept {
    return reinterpret_cast<journal::TakenRecord*>(static_cast<unsigned char*>(view_.get()) + journal::kTakenOffset) +
           slot;
}

bool DeliveryJournal::IsOpen() const {
    tly::MutexLock guard(lock_);
    return view_.get() != nullptr;
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
    } else if (size.QuadPart != static_cast<LONGLONG>(journal::kFileSize)) {
        error = ERROR_INVALID_DATA;  // not ours to map: read as damaged by the caller
        return false;
    }
    mapping_.reset(::CreateFileMappingW(file_.get(), nullptr, PAGE_READWRITE, 0, journal::kFileSize, nullptr));
    if (mapping_) view_.reset(::MapViewOfFile(mapping_.get(), FILE_MAP_WRITE, 0, 0, journal::kFileSize));
    if (!view_) {
        error = ::GetLastError();
        return false;
    }
    if (createdNew) journal::WriteEmptyImage(static_cast<unsigned char*>(view_.get()));
    return true;
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
        LogApiEvent(LogLevel::Warn, "activities.journal_in_use",
                    "Another process owns the delivery journal; activities wait until it is free",
                    {{"path", tly::WideToUtf8(path)}});
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
            if (createdNew || journal::ReadImage(static_cast<const unsigned char*>(view_.get()), journal::kFileSize,
                                                 contents, reason)) {
                directory_ = directory;
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
        } else {
            std::uint32_t slot = 0;
            // A free slot, or else the oldest one that is not held back.
            std::uint32_t oldest = journal::kSuspectSlots;
            for (; slot < journal::kSuspectSlots; ++slot) {
                if (Suspect(slot)->state == journal::kFreeSuspect) break;
                if (Suspect(slot)->state != journal::kHeldBack &&
                    (oldest == journal::kSuspectSlots || Suspect(slot)->sequence < Suspect(oldest)->sequence)) {
                    oldest = slot;
                }
            }
            if (slot == journal::kSuspectSlots) slot = oldest == journal::kSuspectSlots ? 0 : oldest;
            record = Suspect(slot);
            record->state = journal::kFreeSuspect;
            for (auto it = suspectSlots_.begin(); it != suspectSlots_.end();) {
                it = it->second == slot ? suspectSlots_.erase(it) : std::next(it);
            }
            record->panelId = ended.panelId;
            record->admId = ended.admId;
            record->badgeNo = ended.badgeNo;
            record->crashes = 0;
            CopyText(*record, ended.text);
            suspectSlots_[key] = slot;
        }
        // A start that itself ended before the under-way record was cleared
        // must not count the same delivery twice.
        if (record->crashes == 0 || record->sequence != ended.sequence) {
            record->sequence = ended.sequence;
            ++record->crashes;
        }
        record->state = record->crashes >= 2 ? journal::kHeldBack : journal::kInterruptedOnce;
        UnderWay()->state = journal::kIdle;
        journal::Activity counted = ended;
        counted.crashes = record->crashes;
        if (record->state == journal::kHeldBack) {
            heldBack_[key] = true;
        } else {
            report.interrupted = counted;
        }
    }
    for (std::uint32_t slot = 0; slot < journal::kSuspectSlots; ++slot) {
        const journal::ActivityRecord& record = *Suspect(slot);
        if (record.state != journal::kHeldBack) continue;
        journal::Activity held;
        held.panelId = record.panelId;
        held.admId = record.admId;
        held.badgeNo = record.badgeNo;
        held.crashes = record.crashes;
        held.text.assign(record.text, std::min(record.textLength, journal::kTextCapacity));
        report.heldBack.push_back(std::move(held));
    }

    for (std::uint32_t slot : contents.repeatedTakenSlots) Taken(slot)->state = journal::kFreeTaken;
    std::vector<bool> used(journal::kTakenSlots, false);
    for (const auto& entry : contents.taken) {
        used[entry.first] = true;
        const std::uint64_t key = Key(entry.second.first, entry.second.second);
        takenSlots_[key] = entry.first;
        takenOrder_.push_back(key);
        report.taken.push_back(entry.second);
    }
    for (std::uint32_t slot = journal::kTakenSlots; slot-- > 0;) {
        if (!used[slot]) freeTakenSlots_.push_back(slot);
    }

    if (report.interrupted) {
        LogFields fields = ActivityFields(*report.interrupted);
        LogApiEvent(LogLevel::Error, "activities.delivery_interrupted",
                    "The process ended during the delivery of this activity to the host; it is offered once more",
                    fields);
    }
    for (const journal::Activity& held : report.heldBack) {
        LogFields fields = ActivityFields(held);
        fields.emplace_back("crashes", static_cast<std::int64_t>(held.crashes));
        LogApiEvent(LogLevel::Error, "activities.held_back",
                    "The process ended twice during the delivery of this activity; it is held back, neither "
                    "delivered nor marked, until released with tallyport-check --release-held",
                    fields);
    }
    if (!report.taken.empty()) {
        LogApiEvent(LogLevel::Info, "activities.journal_recovered",
                    "Activities the host took before the restart will be marked without a second delivery",
                    {{"count", static_cast<std::int64_t>(report.taken.size())}});
    }
    return report;
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
    directory_.clear();
    takenSlots_.clear();
    freeTakenSlots_.clear();
    takenOrder_.clear();
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
    journal::ActivityRecord& record = *UnderWay();
    if (record.state != journal::kUnderWay) return;
    if (taken) {
        AddTakenLocked(record.panelId, record.admId);
        FreeSuspectLocked(record.panelId, record.admId);
    }
    std::atomic_signal_fence(std::memory_order_seq_cst);
    record.state = journal::kIdle;
}

void DeliveryJournal::AddTakenLocked(std::int32_t panelId, std::int32_t admId) noexcept {
    try {
        const std::uint64_t key = Key(panelId, admId);
        if (takenSlots_.count(key)) return;
        // Full: the oldest entry gives way (the in-memory ledger still has it).
        while (freeTakenSlots_.empty() && !takenOrder_.empty()) {
            auto oldest = takenSlots_.find(takenOrder_.front());
            takenOrder_.pop_front();
            if (oldest == takenSlots_.end()) continue;
            Taken(oldest->second)->state = journal::kFreeTaken;
            freeTakenSlots_.push_back(oldest->second);
            takenSlots_.erase(oldest);
        }
        if (freeTakenSlots_.empty()) return;
        const std::uint32_t slot = freeTakenSlots_.back();
        journal::TakenRecord& entry = *Taken(slot);
        entry.panelId = panelId;
        entry.admId = admId;
        std::atomic_signal_fence(std::memory_order_seq_cst);
        entry.state = journal::kTaken;
        freeTakenSlots_.pop_back();
        takenSlots_[key] = slot;
        takenOrder_.push_back(key);
        // Marked keys linger in the order list; trim it when they dominate.
        if (takenOrder_.size() > 2 * journal::kTakenSlots) {
            std::deque<std::uint64_t> live;
            for (std::uint64_t k : takenOrder_) {
                if (takenSlots_.count(k)) live.push_back(k);
            }
            takenOrder_.swap(live);
        }
    } catch (...) {
        // Out of memory: this id is not journalled; the ledger in memory still has it.
    }
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
        Taken(found->second)->state = journal::kFreeTaken;
        freeTakenSlots_.push_back(found->second);
        takenSlots_.erase(found);
    }
}

bool DeliveryJournal::IsHeldBack(std::int32_t panelId, std::int32_t admId) const noexcept {
    tly::MutexLock guard(lock_);
    return !heldBack_.empty() && heldBack_.count(Key(panelId, admId)) != 0;
}
