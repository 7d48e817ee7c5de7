// The delivery journal from outside its owner: the field check lists the
// activities held back and releases one while the host is stopped.

#include "api/DeliveryJournal.h"

#include "platform/TextConversion.h"

#include <windows.h>

namespace {

// Whole-file read for a process that does not own the journal.
bool ReadJournalFile(const std::string& directory, journal::Contents& contents, std::string& reason) {
    tly::UniqueFileHandle file(::CreateFileW(DeliveryJournalPath(directory, kDeliveryJournalFileName).c_str(), GENERIC_READ,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                             FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        const DWORD error = ::GetLastError();
        reason = error == ERROR_FILE_NOT_FOUND ? "no delivery journal" : "cannot open (error=" + std::to_string(error) + ")";
        return false;
    }
    std::vector<unsigned char> bytes(journal::kFileSize + 1);
    DWORD read = 0;
    if (!::ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr)) {
        reason = "cannot read (error=" + std::to_string(::GetLastError()) + ")";
        return false;
    }
    return journal::ReadImage(bytes.data(), read, contents, reason);
}

}  // namespace

bool ReleaseHeldActivity(const std::string& directory, std::int32_t panelId, std::int32_t admId, std::string& reason) {
    tly::UniqueFileHandle file(::CreateFileW(DeliveryJournalPath(directory, kDeliveryJournalFileName).c_str(),
                                             GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                             FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        const DWORD error = ::GetLastError();
        reason = error == ERROR_FILE_NOT_FOUND ? "no delivery journal in this folder"
                 : error == ERROR_SHARING_VIOLATION
                     ? "the host is running and owns the delivery journal: stop it first"
                     : "cannot open the delivery journal (error=" + std::to_string(error) + ")";
        return false;
    }
    std::vector<unsigned char> bytes(journal::kFileSize + 1);
    DWORD read = 0;
    journal::Contents contents;
    if (!::ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) ||
        !journal::ReadImage(bytes.data(), read, contents, reason)) {
        if (reason.empty()) reason = "cannot read the delivery journal (error=" + std::to_string(::GetLastError()) + ")";
        return false;
    }
    for (const journal::Suspect& suspect : contents.suspects) {
        if (suspect.activity.panelId != panelId || suspect.activity.admId != admId) continue;
        // Only the state word changes: the slot is free again.
        const std::uint32_t freeState = journal::kFreeSuspect;
        LARGE_INTEGER at{};
        at.QuadPart = static_cast<LONGLONG>(journal::kSuspectsOffset + suspect.slot * sizeof(journal::ActivityRecord));
        DWORD written = 0;
        if (!::SetFilePointerEx(file.get(), at, nullptr, FILE_BEGIN) ||
            !::WriteFile(file.get(), &freeState, sizeof freeState, &written, nullptr) || written != sizeof freeState) {
            reason = "cannot write the delivery journal (error=" + std::to_string(::GetLastError()) + ")";
            return false;
        }
        return true;
    }
    reason = "the delivery journal holds no activity " + std::to_string(admId) + " of panel " + std::to_string(panelId);
    return false;
}

std::vector<journal::Activity> ReadHeldActivities(const std::string& directory, std::string* reason) {
    std::vector<journal::Activity> held;
    journal::Contents contents;
    std::string why;
    if (!ReadJournalFile(directory, contents, why)) {
        if (reason) *reason = why;
        return held;
    }
    for (const journal::Suspect& suspect : contents.suspects) {
        if (suspect.heldBack) held.push_back(suspect.activity);
    }
    return held;
}
