// The delivery journal from outside its owner: the field check lists the
// activities held back and releases one while the host is stopped.

#include "api/DeliveryJournal.h"

#include "platform/TextConversion.h"

#include <windows.h>

namespace {

// The whole file, up to one byte past the largest a journal may be (so a
// longer one reads as such). The owner may be growing it meanwhile: a read
// that meets a growth cut short sees the journal as before it.
// A read that fails says so as cannotRead " (error=N)"; a file that is no
// journal, with the reader's reason.
bool ReadWholeJournal(HANDLE file, const char* cannotRead, journal::Contents& contents, std::size_t& fileBytes,
                      std::string& reason) {
    std::vector<unsigned char> bytes(journal::kFileSize);
    std::size_t have = 0;
    for (;;) {
        if (have == bytes.size()) {
            if (bytes.size() > journal::kMostFileSize) break;
            bytes.resize(std::min(bytes.size() * 2, journal::kMostFileSize + 1));
        }
        DWORD read = 0;
        if (!::ReadFile(file, bytes.data() + have, static_cast<DWORD>(bytes.size() - have), &read, nullptr)) {
            reason = std::string(cannotRead) + " (error=" + std::to_string(::GetLastError()) + ")";
            return false;
        }
        if (read == 0) break;
        have += read;
    }
    fileBytes = have;
    return journal::ReadImage(bytes.data(), have, contents, reason);
}

// Whole-file read for a process that does not own the journal.
bool ReadJournalFile(const std::string& directory, journal::Contents& contents, std::size_t& fileBytes,
                     std::string& reason) {
    tly::UniqueFileHandle file(::CreateFileW(DeliveryJournalPath(directory, kDeliveryJournalFileName).c_str(), GENERIC_READ,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                             FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        const DWORD error = ::GetLastError();
        reason = error == ERROR_FILE_NOT_FOUND ? "no delivery journal" : "cannot open (error=" + std::to_string(error) + ")";
        return false;
    }
    return ReadWholeJournal(file.get(), "cannot read", contents, fileBytes, reason);
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
    journal::Contents contents;
    std::size_t fileBytes = 0;
    if (!ReadWholeJournal(file.get(), "cannot read the delivery journal", contents, fileBytes, reason)) return false;
    for (const journal::Suspect& suspect : contents.suspects) {
        if (suspect.activity.panelId != panelId || suspect.activity.admId != admId) continue;
        // Only the state word changes: the slot is free again.
        const std::uint32_t freeState = journal::kFreeSuspect;
        LARGE_INTEGER at{};
        at.QuadPart = static_cast<LONGLONG>(suspect.offset);
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
    std::size_t fileBytes = 0;
    std::string why;
    if (!ReadJournalFile(directory, contents, fileBytes, why)) {
        if (reason) *reason = why;
        return held;
    }
    for (const journal::Suspect& suspect : contents.suspects) {
        if (suspect.heldBack) held.push_back(suspect.activity);
    }
    return held;
}

bool ReadJournalUsage(const std::string& directory, JournalUsage& usage, std::string& reason) {
    journal::Contents contents;
    std::size_t fileBytes = 0;
    if (!ReadJournalFile(directory, contents, fileBytes, reason)) return false;
    usage = JournalUsage{};
    usage.fileBytes = fileBytes;
    for (const auto& entry : contents.taken) ++usage.takenByPanel[entry.second.first];
    usage.taken = contents.taken.size();
    for (const journal::Suspect& suspect : contents.suspects) {
        if (suspect.heldBack) {
            ++usage.heldBack;
            ++usage.heldBackByPanel[suspect.activity.panelId];
        }
    }
    return true;
}
