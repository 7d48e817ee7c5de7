#include "platform/FileAccess.h"

#include "platform/Clock.h"
#include "platform/UniqueResource.h"

#include <windows.h>

#include <cstring>

namespace {

// Attributes a new file takes over from the one it replaces. The archive bit
// stays as the platform sets it: the content did change.
constexpr DWORD kCarriedAttributes =
    FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
// Attributes only the file itself can keep: such a file is rewritten in place.
constexpr DWORD kKeptInPlace = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ENCRYPTED | FILE_ATTRIBUTE_COMPRESSED;

// A reader holding the file for a moment without write sharing (an editor, a
// virus scanner) blocks a rewrite in place: try again briefly before giving up.
constexpr int kOpenAttempts = 10;
constexpr DWORD kOpenRetryMs = 20;

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The temporary file goes beside the file's full name.
std::string FullPath(const std::string& path) {
    char buffer[MAX_PATH * 2];
    const DWORD length = ::GetFullPathNameA(path.c_str(), sizeof buffer, buffer, nullptr);
    if (length == 0 || length >= sizeof buffer) return path;
    return std::string(buffer, length);
}

// Unique per thread, so two threads replacing the same file at once never
// write into each other's temporary file; the last replace wins.
std::string TemporaryPathBeside(const std::string& path) {
    return path + "." + std::to_string(::GetCurrentProcessId()) + "." + std::to_string(::GetCurrentThreadId()) +
           ".tmp";
}

// The self-relative security descriptor holding the file's access rules
// (its DACL); empty when they cannot be read.
std::vector<BYTE> AccessRules(const std::string& path) {
    DWORD needed = 0;
    ::GetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
    if (needed == 0) return {};
    std::vector<BYTE> descriptor(needed);
    if (!::GetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION, descriptor.data(), needed, &needed)) return {};
    return descriptor;
}

bool SameAccessRules(std::vector<BYTE>& a, std::vector<BYTE>& b) {
    BOOL presentA = FALSE, presentB = FALSE, defaultedA = FALSE, defaultedB = FALSE;
    PACL aclA = nullptr, aclB = nullptr;
    if (!::GetSecurityDescriptorDacl(a.data(), &presentA, &aclA, &defaultedA) ||
        !::GetSecurityDescriptorDacl(b.data(), &presentB, &aclB, &defaultedB)) {
        return false;
    }
    SECURITY_DESCRIPTOR_CONTROL controlA = 0, controlB = 0;
    DWORD revision = 0;
    ::GetSecurityDescriptorControl(a.data(), &controlA, &revision);
    ::GetSecurityDescriptorControl(b.data(), &controlB, &revision);
    if (presentA != presentB || ((controlA ^ controlB) & SE_DACL_PROTECTED) != 0) return false;
    if (!presentA) return true;
    if (!aclA || !aclB) return aclA == aclB;  // a null DACL grants everyone everything
    ACL_SIZE_INFORMATION sizeA{}, sizeB{};
    if (!::GetAclInformation(aclA, &sizeA, sizeof sizeA, AclSizeInformation) ||
        !::GetAclInformation(aclB, &sizeB, sizeof sizeB, AclSizeInformation)) {
        return false;
    }
    return sizeA.AclBytesInUse == sizeB.AclBytesInUse && std::memcmp(aclA, aclB, sizeA.AclBytesInUse) == 0;
}

// One write of a whole file; collects every failed step in the result.
class FileRewrite {
public:
    FileRewrite(const std::string& path, const std::string& text)
        : target_(FullPath(path)), temporary_(TemporaryPathBeside(target_)), text_(text) {}

    FileReplaceResult Run() {
        WIN32_FILE_ATTRIBUTE_DATA existing{};
        if (!::GetFileAttributesExA(target_.c_str(), GetFileExInfoStandard, &existing)) {
            const DWORD error = ::GetLastError();
            if (error == ERROR_FILE_NOT_FOUND) return CreateNew();
            Record("GetFileAttributesExA", target_, error);
            return RewriteInPlace();
        }
        // What a new file cannot be given (encryption, compression), and a
        // read-only file, which refuses both ways with its own error, stay
        // with the file itself.
        if (existing.dwFileAttributes & kKeptInPlace) return RewriteInPlace();
        switch (WriteTemporary(&existing.ftCreationTime)) {
        case Temporary::CreateFailed:
            return RewriteInPlace();  // no right to create a file here
        case Temporary::WriteFailed:
            return Finish(FileReplaceResult::Failure::Write);  // the target was not touched
        case Temporary::Written:
            break;
        }
        // One rename puts the new file in the old one's place: a reader finds
        // the old content or the new, never no file.
        if (CarryRights(existing.dwFileAttributes)) {
            if (::MoveFileExA(temporary_.c_str(), target_.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
                return Finish(FileReplaceResult::Method::Replaced);
            }
            Failed("MoveFileExA", target_);  // refused while a handle without delete sharing is open
        }
        DeleteTemporary();
        return RewriteInPlace();
    }

private:
    enum class Temporary { Written, CreateFailed, WriteFailed };

    FileReplaceResult CreateNew() {
        switch (WriteTemporary(nullptr)) {
        case Temporary::CreateFailed:
            return RewriteInPlace();
        case Temporary::WriteFailed:
            return Finish(FileReplaceResult::Failure::Write);
        case Temporary::Written:
            break;
        }
        if (::MoveFileExA(temporary_.c_str(), target_.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            return Finish(FileReplaceResult::Method::Created);
        }
        Failed("MoveFileExA", target_);
        DeleteTemporary();
        return Finish(FileReplaceResult::Failure::Create);
    }

    // The new content in a file of its own beside the target, created when
    // the target was (so it keeps its identity as far as dates go).
    Temporary WriteTemporary(const FILETIME* creationTime) {
        tly::UniqueFileHandle file(::CreateFileA(temporary_.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                                 CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) {
            Failed("CreateFileA", temporary_);
            return Temporary::CreateFailed;
        }
        if (creationTime && !::SetFileTime(file.get(), creationTime, nullptr, nullptr)) {
            Failed("SetFileTime", temporary_);  // only a date: the write goes on
        }
        // Without the flush a power loss could leave the replaced file empty.
        const bool written = WriteAll(file, temporary_);
        if (written && Close(file, temporary_)) return Temporary::Written;
        file.reset();
        DeleteTemporary();
        return Temporary::WriteFailed;
    }

    // The new file takes the old one's attributes and access rules, so that
    // what an administrator set on the file itself survives the replace.
    // (ReplaceFile is not used for this: under Wine it carries neither, and it
    // leaves the name missing between two renames, where a reader finds no
    // file at all. One rename behaves alike on both platforms.)
    bool CarryRights(DWORD targetAttributes) {
        const DWORD current = ::GetFileAttributesA(temporary_.c_str());
        if (current == INVALID_FILE_ATTRIBUTES) return Failed("GetFileAttributesA", temporary_);
        DWORD wanted = ((current & ~kCarriedAttributes) | (targetAttributes & kCarriedAttributes)) &
                       ~FILE_ATTRIBUTE_NORMAL;
        if (wanted == 0) wanted = FILE_ATTRIBUTE_NORMAL;
        if (wanted != current && !::SetFileAttributesA(temporary_.c_str(), wanted)) {
            return Failed("SetFileAttributesA", temporary_);
        }

        std::vector<BYTE> targetRules = AccessRules(target_);
        if (targetRules.empty()) return Failed("GetFileSecurityA", target_);
        std::vector<BYTE> newRules = AccessRules(temporary_);
        if (newRules.empty()) return Failed("GetFileSecurityA", temporary_);
        if (SameAccessRules(targetRules, newRules)) return true;
        if (!::SetFileSecurityA(temporary_.c_str(), DACL_SECURITY_INFORMATION, targetRules.data())) {
            return Failed("SetFileSecurityA", temporary_);
        }
        return true;
    }

    // Overwrites the file where it is: it keeps everything it had, and a
    // reader may meanwhile see a mix of old and new content.
    FileReplaceResult RewriteInPlace() {
        tly::UniqueFileHandle file;
        for (int attempt = 1;; ++attempt) {
            file.reset(::CreateFileA(target_.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
            if (file) break;
            const DWORD error = ::GetLastError();
            if (error != ERROR_SHARING_VIOLATION || attempt == kOpenAttempts) {
                Record("CreateFileA", target_, error);
                return Finish(FileReplaceResult::Failure::Create);
            }
            tly::CurrentClock().Sleep(kOpenRetryMs);
        }
        // The whole text first, then the end cut, so a failure leaves no less than was there.
        if (!WriteAll(file, target_)) return Finish(FileReplaceResult::Failure::Write);
        if (!::SetEndOfFile(file.get())) {
            Failed("SetEndOfFile", target_);
            return Finish(FileReplaceResult::Failure::Write);
        }
        if (!Close(file, target_)) return Finish(FileReplaceResult::Failure::Write);
        return Finish(FileReplaceResult::Method::InPlace);
    }

    bool WriteAll(tly::UniqueFileHandle& file, const std::string& path) {
        DWORD written = 0;
        if (!::WriteFile(file.get(), text_.data(), static_cast<DWORD>(text_.size()), &written, nullptr)) {
            return Failed("WriteFile", path);
        }
        if (written != text_.size()) {
            Record("WriteFile", path, 0);  // short, with no error reported
            return false;
        }
        if (!::FlushFileBuffers(file.get())) return Failed("FlushFileBuffers", path);
        return true;
    }

    bool Close(tly::UniqueFileHandle& file, const std::string& path) {
        if (::CloseHandle(file.release())) return true;
        return Failed("CloseHandle", path);
    }

    // Clearing up after a failure: its own failure is listed, but the
    // write's outcome keeps the error of the step that decided it.
    void DeleteTemporary() {
        if (::DeleteFileA(temporary_.c_str())) return;
        const DWORD decisive = decisiveError_;
        Failed("DeleteFileA", temporary_);
        decisiveError_ = decisive;
    }

    void Record(const char* call, const std::string& path, DWORD error) {
        result_.failedSteps.push_back({call, path, static_cast<std::uint32_t>(error)});
        decisiveError_ = error;
    }
    // Records the call that just failed with the thread's last error; false.
    bool Failed(const char* call, const std::string& path) {
        Record(call, path, ::GetLastError());
        return false;
    }

    FileReplaceResult Finish(FileReplaceResult::Method method) {
        result_.method = method;
        return std::move(result_);
    }
    FileReplaceResult Finish(FileReplaceResult::Failure failure) {
        result_.failure = failure;
        result_.win32Error = static_cast<std::uint32_t>(decisiveError_);
        return std::move(result_);
    }

    const std::string target_;
    const std::string temporary_;
    const std::string& text_;
    FileReplaceResult result_;
    DWORD decisiveError_ = 0;
};

}  // namespace

namespace {

bool ReadAll(const tly::UniqueFileHandle& file, std::string& bytes) {
    std::string content;
    char buffer[16384];
    for (;;) {
        DWORD read = 0;
        if (!::ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr)) return false;
        if (read == 0) break;
        content.append(buffer, read);
    }
    bytes = std::move(content);
    return true;
}

}  // namespace

bool ReadWholeFile(const std::string& path, std::string& bytes) {
    tly::UniqueFileHandle file(
        ::CreateFileA(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return file && ReadAll(file, bytes);
}

bool ReadFileBetweenWrites(const std::string& path, std::string& bytes) {
    // Without write sharing the open is refused while any handle that may
    // write is open, and no such handle can be opened until this one closes.
    for (int attempt = 1; attempt <= kOpenAttempts; ++attempt) {
        tly::UniqueFileHandle file(::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                                 nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file) return ReadAll(file, bytes);
        if (::GetLastError() != ERROR_SHARING_VIOLATION) return false;
        tly::CurrentClock().Sleep(kOpenRetryMs);
    }
    // An editor that keeps the file open for writing must not keep the
    // settings from loading: read as everyone else does.
    return ReadWholeFile(path, bytes);
}

FileReplaceResult ReplaceFileContents(const std::string& path, const std::string& text) {
    return FileRewrite(path, text).Run();
}

FileReplaceResult ReplaceFileContentsIfUnchanged(const std::string& path, const std::string& expected,
                                                 const std::string& text) {
    FileReplaceResult result;
    const auto fail = [&](FileReplaceResult::Failure failure, const char* call, DWORD error) {
        result.failure = failure;
        result.win32Error = static_cast<std::uint32_t>(error);
        if (call) result.failedSteps.push_back({call, path, static_cast<std::uint32_t>(error)});
        return std::move(result);
    };

    tly::UniqueFileHandle file;
    for (int attempt = 1;; ++attempt) {
        file.reset(::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file) break;
        const DWORD error = ::GetLastError();
        // Gone since the caller read it: whatever comes next is someone else's.
        if (error == ERROR_FILE_NOT_FOUND) return fail(FileReplaceResult::Failure::Changed, nullptr, 0);
        if (error != ERROR_SHARING_VIOLATION || attempt == kOpenAttempts) {
            return fail(FileReplaceResult::Failure::Create, "CreateFileA", error);
        }
        tly::CurrentClock().Sleep(kOpenRetryMs);
    }

    std::string current;
    char buffer[16384];
    for (;;) {
        DWORD read = 0;
        if (!::ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr)) {
            return fail(FileReplaceResult::Failure::Write, "ReadFile", ::GetLastError());
        }
        if (read == 0) break;
        current.append(buffer, read);
        if (current.size() > expected.size()) break;
    }
    if (current != expected) return fail(FileReplaceResult::Failure::Changed, nullptr, 0);

    if (::SetFilePointer(file.get(), 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER) {
        return fail(FileReplaceResult::Failure::Write, "SetFilePointer", ::GetLastError());
    }
    DWORD written = 0;
    if (!::WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr)) {
        return fail(FileReplaceResult::Failure::Write, "WriteFile", ::GetLastError());
    }
    if (written != text.size()) return fail(FileReplaceResult::Failure::Write, "WriteFile", 0);
    // The whole text first, then the end cut, so a failure leaves no less than was there.
    if (!::SetEndOfFile(file.get())) return fail(FileReplaceResult::Failure::Write, "SetEndOfFile", ::GetLastError());
    if (!::FlushFileBuffers(file.get())) {
        return fail(FileReplaceResult::Failure::Write, "FlushFileBuffers", ::GetLastError());
    }
    if (!::CloseHandle(file.release())) return fail(FileReplaceResult::Failure::Write, "CloseHandle", ::GetLastError());
    result.method = FileReplaceResult::Method::InPlace;
    return result;
}
