#pragma once
// Which file the log writes for a settings record: the file the settings name,
// unless writing and rotating it could harm a file that is not the log's. A
// name is refused when it holds a control character (a tab that "C:\tp" in
// JSON makes), does not end in ".log", names a stream or a device,
// leads to a folder, a link or a junction (or lies in a linked folder other
// than the DLL's), or to a file that holds something other than this log. The
// log then writes its default file beside the settings, whose name is its own.

#include <string>

struct TranslatorSettings;

struct LogFileChoice {
    std::string path;         // the file the log writes
    std::string named;        // the file the settings name
    std::string refusal;      // empty when the named file is used; else a stable word, as "foreign_content"
    std::string description;  // the refusal in words, as "it holds something other than this log"
};

LogFileChoice ChooseLogFile(const TranslatorSettings& settings);
