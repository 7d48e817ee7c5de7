#include "platform/FileAccess.h"

#include "platform/UniqueResource.h"

#include <windows.h>

namespace {

// Unique per thread, so two threads replacing the same file at once never
// write into each other's temporary file; the last move wins.
std::string TemporaryPathBeside(const std::string& path) {
    return path + "." + std::to_string(::GetCurrentProcessId()) + "." + std::to_string(::GetCurrentThreadId()) +
           ".tmp";
}

FileReplaceResult Failed(FileReplaceResult::Failure failure, DWORD error) {
    return {failure, static_cast<std::uint32_t>(error)};
}

}  // namespace

bool ReadWholeFile(const std::string& path, std::string& bytes) {
    tly::UniqueFileHandle file(::CreateFileA(path.c_str(), GENERIC_READ,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;

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

namespace {
constexpr int kReplaceAttempts = 10;
constexpr DWORD kReplaceRetryMs = 20;
}  // namespace

FileReplaceResult ReplaceFileContents(const std::string& path, const std::string& text) {
    const std::string temporary = TemporaryPathBeside(path);
    tly::UniqueFileHandle file(::CreateFileA(temporary.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return Failed(FileReplaceResult::Failure::Create, ::GetLastError());

    DWORD written = 0;
    DWORD writeError = 0;
    if (!::WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr)) {
        writeError = ::GetLastError();
    } else if (!::FlushFileBuffers(file.get())) {
        // Without the flush a power loss could leave the moved file empty.
        writeError = ::GetLastError();
    }
    DWORD closeError = 0;
    if (!::CloseHandle(file.release())) closeError = ::GetLastError();

    if (writeError != 0 || closeError != 0 || written != text.size()) {
        ::DeleteFileA(temporary.c_str());
        return Failed(FileReplaceResult::Failure::Write, writeError != 0 ? writeError : closeError);
    }

    // Another process reading the file for a moment (an editor, a virus
    // scanner, a test) makes the replace fail with a sharing error: try again
    // briefly before giving up.
    DWORD error = 0;
    for (int attempt = 0; attempt < kReplaceAttempts; ++attempt) {
        if (::MoveFileExA(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            return {};
        }
        error = ::GetLastError();
        if (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) break;
        ::Sleep(kReplaceRetryMs);
    }
    ::DeleteFileA(temporary.c_str());
    return Failed(FileReplaceResult::Failure::Create, error);
}
