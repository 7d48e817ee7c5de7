#pragma once
// The mistakes people make editing a JSON file by hand on Windows, said in
// their words rather than the parser's: an empty file, Notepad's UTF-16 or ANSI, a
// Windows path with single backslashes, a trailing comma, a comment. Never
// quotes a value of the file: it may be the client secret. (A file saved as
// "....json.txt" because Explorer hides the ending is SettingsFile.cpp's to
// find: it needs the file system.)

#include <cstddef>
#include <string>
#include <string_view>

struct SettingsProblem {
    std::string text;    // plain words: what is wrong and what to do
    int line = 0;        // 1-based place of the mistake; 0 when it has none
    int column = 0;
    std::string member;  // the known member at or before the place, as "logging"."file_name"; may be empty
    // A stable name of the mistake for scripts: "settings_empty", "settings_utf16",
    // "settings_not_utf8", "single_backslash", or "settings_not_json" for any other.
    const char* reason = "settings_not_json";
};

// Text that cannot be JSON however it is parsed: empty, blank or UTF-16.
// Empty problem text when the text is none of these.
SettingsProblem DescribeUnusableText(std::string_view text);

// A number the JSON library cannot hold (beyond a double's range, as 1e999),
// which it refuses without saying where: found, and said with its place.
SettingsProblem DescribeNumberOverflow(std::string_view text);

// A syntax error the parser found after errorByte bytes (its count, 1-based).
SettingsProblem DescribeSyntaxError(std::string_view text, std::size_t errorByte);
