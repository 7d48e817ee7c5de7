#pragma once
// The main log's file, kept open from one line to the next. Its size is
// counted in memory as lines are written. At most once a second the file is
// closed and opened again by its name: a file that an operator (or a log
// shipper) renamed, deleted or replaced is left for a fresh one, and bytes that
// others appended or cut are counted again. A line may be held back in memory
// and written with the lines after it, in one write; whatever is held goes out
// before the file is closed, rotated or left. Not thread-safe: the log mutex
// guards it. A name that leads to a link, a junction or a folder is not
// written: the log writes only the file its name leads to itself.

#include "platform/UniqueResource.h"

#include <cstdint>
#include <string>

namespace tly {

struct LogRotationLimits {
    std::int64_t maxFileSize = 0;       // 0 or less: never rotate
    std::uint32_t maxRotatedFiles = 0;  // 0: a full file is deleted instead
};

class LogFile {
public:
    // Writes one line to the file at path, rotating first when the file has
    // reached the size limit. A file that cannot be opened loses the line.
    // With hold, the line may wait in memory for the next write (up to a
    // bound); the file's content and its rotations come out the same.
    void Append(const std::string& path, const std::string& line, const LogRotationLimits& limits, bool hold = false);

    // Writes out the lines held back.
    void Flush() noexcept;

    // Writes out what is held and closes the file; the next line opens it
    // again by its name.
    void Close() noexcept;

private:
    bool EnsureOpen(const std::string& path);
    void RotateIfFull(const std::string& path, const LogRotationLimits& limits);

    UniqueFileHandle file_;
    std::string path_;             // the name file_ was opened under
    std::int64_t size_ = 0;        // bytes in file_ as far as this writer knows, held ones included
    std::string held_;             // lines not yet written, in order
    std::uint32_t openedAt_ = 0;   // tick of the open
};

// Renames every numbered file one up, dropping the oldest, and the log itself
// to number 1; with no numbered files kept, deletes the log. Only files of
// this log are touched (LogFileOwnership.h): a log that is not its own is left
// as it is, and so is a numbered file that is not, with every number from it
// up; the numbered files below it rotate as if fewer were kept (with none
// below number 1 the log is deleted). A log that cannot be renamed now (held
// without sharing its deletion) is left as it is, with the numbered files;
// other failed steps are skipped. The file keeps growing until a later
// rotation succeeds.
void RotateLogFiles(const std::string& path, std::uint32_t maxRotatedFiles);

}  // namespace tly
