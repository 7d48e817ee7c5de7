#pragma once
// Telling the log's own files from anyone else's. The log renames, deletes
// and hands out (the check tool's support bundle) only files it can tell are
// its own, so that a settings edit naming some other file cannot make it
// destroy, move or copy that file. A file is the log's when its first line is
// a line the log writes. (Not "a file this process created": under Wine a
// file's index is its inode, which a deleted file hands on to the next new
// one, so a remembered index could stand for someone else's file.) A link,
// junction or other reparse point is never followed, and never the log's.

#include <windows.h>

#include <string>
#include <string_view>

namespace tly {

// Whether one line (its line end left off) is one the log writes: a JSON
// object whose "component", "event", "level" (a level's name) and "timestamp"
// (as 2024-03-05T14:07:09.042) are strings and whose "process_id" and
// "thread_id" are integers. Every line the log has ever written has these.
bool IsLogLineText(std::string_view line);

enum class LogFileKind {
    Missing,       // nothing by that name
    Empty,         // a file without a byte
    Own,           // a file of this log
    Foreign,       // a file whose first line is not a line of this log
    Directory,
    ReparsePoint,  // a link, junction or other reparse point, file or folder
    Unreadable,    // there, but it cannot be opened or read
};

// What is at path, looked at without following a reparse point.
LogFileKind InspectLogFile(const std::string& path);

// The attributes of an open file, or INVALID_FILE_ATTRIBUTES.
DWORD OpenFileAttributes(HANDLE file);

}  // namespace tly
