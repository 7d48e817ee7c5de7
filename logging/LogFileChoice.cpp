#include "logging/LogFileChoice.h"

#include "logging/DataDirectory.h"
#include "logging/Log.h"
#include "logging/LogFileOwnership.h"

#include <algorithm>
#include <cctype>

namespace {

struct Refusal {
    const char* word;
    const char* description;
};

bool EqualIgnoringCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

// A colon past the drive's names a stream of another file ("a.txt:x.log");
// "\\.\" and "\\?\" reach devices and names the file system would refuse.
bool IsPlainFileName(const std::string& path) {
    if (path.rfind("\\\\.\\", 0) == 0 || path.rfind("\\\\?\\", 0) == 0) return false;
    const size_t colon = path.find(':');
    return colon == std::string::npos || (colon == 1 && path.find(':', 2) == std::string::npos);
}

bool EndsInLog(const std::string& path) {
    return path.size() >= 4 && EqualIgnoringCase(path.substr(path.size() - 4), ".log");
}

// The data folder is the installer's choice, and the default log lies there
// too: only a folder the settings chose is looked at.
bool InLinkedFolder(const std::string& path) {
    const size_t separator = path.find_last_of("\\/");
    if (separator == std::string::npos || separator == 0) return false;
    const std::string folder = path.substr(0, separator);
    if (folder.size() == 2 && folder[1] == ':') return false;  // a drive's root
    if (EqualIgnoringCase(folder, DataDirectory())) return false;
    return tly::InspectLogFile(folder) == tly::LogFileKind::ReparsePoint;
}

// Why the named file must not be the log, or null when it may.
const Refusal* RefusalOf(const std::string& path) {
    static const Refusal kNotLog{"name_not_log", "its name does not end in .log"};
    static const Refusal kNotPlain{"name_not_plain", "it names a stream or a device, not a file of its own"};
    static const Refusal kFolder{"directory", "it is a folder"};
    static const Refusal kLink{"reparse_point", "it is a link or junction (a reparse point), which the log does not follow"};
    static const Refusal kLinkedFolder{"folder_reparse_point",
                                       "its folder is a link or junction (a reparse point), which the log does not follow"};
    static const Refusal kForeign{"foreign_content", "it holds something other than this log (its first line is no line of the log)"};
    static const Refusal kUnreadable{"unreadable", "it cannot be read to tell whether it holds this log"};

    static const Refusal kControl{"control_character",
                                  "it holds a tab or another control character, as a single backslash in JSON makes"};

    if (std::any_of(path.begin(), path.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; })) {
        return &kControl;
    }
    if (!IsPlainFileName(path)) return &kNotPlain;
    if (!EndsInLog(path)) return &kNotLog;
    if (InLinkedFolder(path)) return &kLinkedFolder;
    switch (tly::InspectLogFile(path)) {
        case tly::LogFileKind::Missing:
        case tly::LogFileKind::Empty:
        case tly::LogFileKind::Own: return nullptr;
        case tly::LogFileKind::Foreign: return &kForeign;
        case tly::LogFileKind::Directory: return &kFolder;
        case tly::LogFileKind::ReparsePoint: return &kLink;
        case tly::LogFileKind::Unreadable: return &kUnreadable;
    }
    return &kUnreadable;
}

}  // namespace

LogFileChoice ChooseLogFile(const TranslatorSettings& settings) {
    LogFileChoice choice;
    choice.named = LogFilePathFor(settings);
    choice.path = choice.named;
    if (const Refusal* refusal = RefusalOf(choice.named)) {
        choice.refusal = refusal->word;
        choice.description = refusal->description;
        choice.path = DefaultLogFilePath();
    }
    return choice;
}
