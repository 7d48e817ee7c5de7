#pragma once
// What a settings file that loads may still get wrong: a member the
// translator does not know (a misspelling is otherwise ignored without a
// word), a member it needs left out or empty (its default then applies
// silently: "localhost", 30001), a value still holding the example file's
// placeholder, a host name that is a URL or carries a port, text with spaces
// around it, a member written twice (the last one wins), text holding a tab
// that a single backslash made in a path, and a log size or file count that
// cannot be meant (its default applies). The file keeps loading as before;
// these are named. (A log folder that is not there, a log file refused, a log
// level that is none, and the report of them all, follow a load:
// LoadedSettings.cpp.)

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>
#include <vector>

struct SettingsFinding {
    enum class Kind {
        UnknownMember,      // warn: ignored
        MissingMember,      // error: absent or empty; the default applies
        Placeholder,        // error: the example's value
        HostnameNotAName,   // error: a URL, a path or a port in "hostname"
        SurroundingSpaces,  // error: used as written, spaces and all
        LogFolderMissing,   // error: the log's folder does not exist, so nothing is logged
        LogFileRefused,     // error: the log's file could harm another file; the default file is written
        LogLevelUnknown,    // error: "logging"."level" names no level; the level in force stays
        DuplicateMember,    // warn: a member written twice in one object; the last one is used
        ControlCharacter,   // error: text holding a tab or line break, as "C:\tp" makes; a log file so named is refused
        DefaultUsed,        // warn: a log limit that cannot be meant (a size of 0, a negative count); its default applies
    };
    Kind kind = Kind::UnknownMember;
    std::string member;      // as "server"."hostnmae"
    std::string suggestion;  // the known member it most resembles, as "server"."hostname"; may be empty
    std::string text;        // one sentence for a person; never quotes the secret
    nlohmann::json fields = nlohmann::json::object();  // more fields for its log line, by name
};

// "unknown_member", "missing_member", "placeholder", "hostname_not_a_name", "surrounding_spaces",
// "log_folder_missing", "log_file_refused", "log_level_unknown", "duplicate_member", "control_character",
// "default_used".
const char* FindingReason(SettingsFinding::Kind kind);
bool IsErrorFinding(SettingsFinding::Kind kind);

// The findings of a document that loads as settings, in the file's order of
// sections: members written twice first (from the text, which the parsed
// document no longer shows; none without it), then unknown members, then
// missing members, then values.
std::vector<SettingsFinding> ReviewSettingsDocument(const nlohmann::json& document, std::string_view text = {});
