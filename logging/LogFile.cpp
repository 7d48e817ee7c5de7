#include "logging/LogFile.h"

#include "logging/Log.h"
#include "logging/LogFileOwnership.h"
#include "platform/Clock.h"

#include <windows.h>

namespace tly {
namespace {

// How often the writer opens the file again by its name.
constexpr std::uint32_t kReopenIntervalMs = 1000;
// Lines held back are written out at the latest when they reach this size.
constexpr size_t kMostHeldBytes = 64 * 1024;
// A rotation renames every numbered file once; a count beyond this would stall
// the logging thread for minutes on each rotation, so larger counts keep this many.
constexpr std::uint32_t kMostRotatedFiles = 1000;
// Readers, writers (the bootstrap writer appends to the default log), renames
// and deletes by anyone else all go on while the file is open here.
constexpr DWORD kShareEverything = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

bool CurrentSize(HANDLE file, std::int64_t& size) {
    LARGE_INTEGER value{};
    if (!::GetFileSizeEx(file, &value)) return false;
    size = value.QuadPart;
    return true;
}

// Whether the log can be renamed now: not while someone holds it without
// sharing its deletion (an editor, a log shipper), nor when it is gone.
bool CanBeMoved(const std::string& path) {
    const UniqueFileHandle probe(::CreateFileA(path.c_str(), DELETE, kShareEverything, nullptr, OPEN_EXISTING,
                                               FILE_ATTRIBUTE_NORMAL, nullptr));
    return probe.valid();
}

}  // namespace

void RotateLogFiles(const std::string& path, std::uint32_t maxRotatedFiles) {
    // Nothing is shifted for a log that cannot move: the rotation is tried
    // again at every line, and each try would push the oldest numbered file
    // out until none was left.
    if (!CanBeMoved(path) || InspectLogFile(path) != LogFileKind::Own) return;
    const unsigned most = maxRotatedFiles < kMostRotatedFiles ? maxRotatedFiles : kMostRotatedFiles;
    // The numbers below the first file that is not this log's are all the
    // rotation may use; a gap is no such file.
    unsigned count = 0;
    while (count < most) {
        const LogFileKind kind = InspectLogFile(RotatedLogName(path, count + 1));
        if (kind != LogFileKind::Own && kind != LogFileKind::Missing) break;
        ++count;
    }
    if (count == 0) {
        ::DeleteFileA(path.c_str());
        return;
    }
    ::DeleteFileA(RotatedLogName(path, count).c_str());
    for (unsigned i = count - 1; i >= 1; --i) {
        ::MoveFileA(RotatedLogName(path, i).c_str(), RotatedLogName(path, i + 1).c_str());
    }
    ::MoveFileA(path.c_str(), RotatedLogName(path, 1).c_str());
}

void LogFile::Append(const std::string& path, const std::string& line, const LogRotationLimits& limits, bool hold) {
    // Unsigned subtraction gives the elapsed time across a wrap of the tick count.
    if (file_ && (path != path_ || CurrentClock().TickCount() - openedAt_ >= kReopenIntervalMs)) {
        // Closing also completes a delete that is pending while the file is
        // open (Windows without POSIX deletes, and Wine); the name then leads
        // to the file now there, or to a new one.
        Close();
    }
    if (!EnsureOpen(path)) return;
    RotateIfFull(path, limits);
    if (!EnsureOpen(path)) return;

    held_ += line;
    size_ += static_cast<std::int64_t>(line.size());
    if (!hold || held_.size() >= kMostHeldBytes) Flush();
}

void LogFile::Flush() noexcept {
    if (held_.empty()) return;
    if (file_) {
        DWORD written = 0;
        if (!::WriteFile(file_.get(), held_.data(), static_cast<DWORD>(held_.size()), &written, nullptr)) written = 0;
        // Bytes that did not reach the file are not counted.
        size_ -= static_cast<std::int64_t>(held_.size()) - written;
    }
    held_.clear();
}

void LogFile::Close() noexcept {
    Flush();
    file_.reset();
    path_.clear();
    size_ = 0;
}

bool LogFile::EnsureOpen(const std::string& path) {
    if (file_) return true;
    // A link or junction is opened as itself, never followed, and then left.
    UniqueFileHandle file(::CreateFileA(path.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES, kShareEverything, nullptr,
                                        OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    std::int64_t size = 0;
    if (!file || !CurrentSize(file.get(), size)) return false;
    const DWORD attributes = OpenFileAttributes(file.get());
    constexpr DWORD kNotAFile = FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY;
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & kNotAFile)) return false;
    file_ = std::move(file);
    path_ = path;
    size_ = size;
    openedAt_ = CurrentClock().TickCount();
    return true;
}

// The size is tested before the line is written, so a file may exceed the
// limit by one line. The count kept in memory decides; the file itself is asked
// only when a rotation is due, so a file that others cut meanwhile is kept.
void LogFile::RotateIfFull(const std::string& path, const LogRotationLimits& limits) {
    if (limits.maxFileSize <= 0 || size_ < limits.maxFileSize) return;
    Flush();
    std::int64_t actual = 0;
    if (!CurrentSize(file_.get(), actual)) return;
    size_ = actual;
    if (size_ < limits.maxFileSize) return;
    Close();
    RotateLogFiles(path, limits.maxRotatedFiles);
}

}  // namespace tly
