#pragma once
// Whole-file reads and writes. A write replaces the
// file only once the new content is complete on disk, so a crash or a full
// disk mid-way leaves the previous file as it was.

#include <cstdint>
#include <string>

// Reads every byte of the file. False if it cannot be opened or read. Other
// handles may go on reading, writing and replacing the file meanwhile.
bool ReadWholeFile(const std::string& path, std::string& bytes);

struct FileReplaceResult {
    enum class Failure {
        None,
        Create,  // the new file could not be created or put in place
        Write,   // writing, flushing or closing the new file failed or was short
    };
    Failure failure = Failure::None;
    std::uint32_t win32Error = 0;  // the failed call's code; 0 if none reported one

    explicit operator bool() const { return failure == Failure::None; }
};

// Writes the text to a temporary file beside path and moves it over path.
FileReplaceResult ReplaceFileContents(const std::string& path, const std::string& text);
