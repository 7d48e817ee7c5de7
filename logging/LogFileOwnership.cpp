#include "logging/LogFileOwnership.h"

#include "platform/UniqueResource.h"

#include <nlohmann/json.hpp>

#include <cstring>

namespace tly {
namespace {

// A first line longer than this is taken for no line of the log's, and
// reading stops there. Nothing bounds a line's fields, but the log's lines
// carry kilobytes, not a megabyte; the bound keeps a look at a large file
// without line ends from reading it whole.
constexpr size_t kMostFirstLineBytes = 1024 * 1024;
constexpr DWORD kReadChunk = 4096;

bool IsLevelName(const std::string& text) {
    for (const char* name : {"trace", "debug", "info", "warn", "error"}) {
        if (text == name) return true;
    }
    return false;
}

// 2024-03-05T14:07:09.042, as every line's "timestamp".
bool IsTimestamp(const std::string& text) {
    static constexpr char kShape[] = "dddd-dd-ddTdd:dd:dd.ddd";
    if (text.size() != sizeof kShape - 1) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        const bool digit = text[i] >= '0' && text[i] <= '9';
        if (kShape[i] == 'd' ? !digit : text[i] != kShape[i]) return false;
    }
    return true;
}

enum class FirstLine { Read, TooLong, Failed };

// The file's first line, without its line end. A line that runs past the
// longest the log writes is not read to its end.
FirstLine ReadFirstLine(HANDLE file, std::string& line) {
    line.clear();
    char chunk[kReadChunk];
    for (;;) {
        DWORD got = 0;
        if (!::ReadFile(file, chunk, kReadChunk, &got, nullptr)) return FirstLine::Failed;
        const char* end = static_cast<const char*>(std::memchr(chunk, '\n', got));
        line.append(chunk, end ? static_cast<size_t>(end - chunk) : got);
        if (line.size() > kMostFirstLineBytes) return FirstLine::TooLong;
        if (end || got == 0) break;
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return FirstLine::Read;
}

}  // namespace

bool IsLogLineText(std::string_view line) {
    const nlohmann::json value = nlohmann::json::parse(line, nullptr, false);
    if (value.is_discarded() || !value.is_object()) return false;
    for (const char* member : {"component", "event", "level", "timestamp"}) {
        const auto found = value.find(member);
        if (found == value.end() || !found->is_string()) return false;
    }
    for (const char* member : {"process_id", "thread_id"}) {
        const auto found = value.find(member);
        if (found == value.end() || !found->is_number_integer()) return false;
    }
    return IsLevelName(value["level"].get<std::string>()) && IsTimestamp(value["timestamp"].get<std::string>());
}

DWORD OpenFileAttributes(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION information{};
    return ::GetFileInformationByHandle(file, &information) ? information.dwFileAttributes : INVALID_FILE_ATTRIBUTES;
}

LogFileKind InspectLogFile(const std::string& path) {
    // The link itself is opened, never what it leads to; a folder opens too,
    // so that it can be told from a file. Others go on writing, renaming and
    // deleting meanwhile, as with the log's own handle.
    const UniqueFileHandle file(::CreateFileA(path.c_str(), GENERIC_READ | FILE_READ_ATTRIBUTES,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                              OPEN_EXISTING,
                                              FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!file) {
        const DWORD error = ::GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? LogFileKind::Missing
                                                                              : LogFileKind::Unreadable;
    }
    const DWORD attributes = OpenFileAttributes(file.get());
    if (attributes == INVALID_FILE_ATTRIBUTES) return LogFileKind::Unreadable;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return LogFileKind::ReparsePoint;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return LogFileKind::Directory;

    std::string line;
    const FirstLine read = ReadFirstLine(file.get(), line);
    if (read == FirstLine::Failed) return LogFileKind::Unreadable;
    if (read == FirstLine::TooLong) return LogFileKind::Foreign;
    if (line.empty()) {
        LARGE_INTEGER size{};
        if (::GetFileSizeEx(file.get(), &size) && size.QuadPart == 0) return LogFileKind::Empty;
        return LogFileKind::Foreign;
    }
    return IsLogLineText(line) ? LogFileKind::Own : LogFileKind::Foreign;
}

}  // namespace tly
