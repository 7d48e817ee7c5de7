#pragma once
// Whole-file reads and writes. A write keeps the file as others see it: its
// access rules, attributes and creation time stay those of the file it
// replaces, even where an administrator set them on the file itself. Where the
// platform allows it the new content replaces the old in one rename, so a
// crash or a full disk mid-way leaves the previous file as it was and a reader
// never finds no file; where it does not (no right to create a file beside it,
// the file held open without delete sharing, an encrypted, compressed or
// read-only file), the file is rewritten in place.

#include <cstdint>
#include <string>
#include <vector>

// Reads every byte of the file. False if it cannot be opened or read. Other
// handles may go on reading, writing and replacing the file meanwhile, so a
// read that meets a rewrite in place may return a mix of the two versions.
bool ReadWholeFile(const std::string& path, std::string& bytes);

// Reads every byte of the file while no other handle may write it: the text
// is one whole version, never the start of one and the end of the version a
// rewrite in place is overwriting. A writer holding the file is waited for
// briefly; one that goes on holding it is read past as by ReadWholeFile. On
// failure the thread's last error is that of the failed open or read.
bool ReadFileBetweenWrites(const std::string& path, std::string& bytes);

// One Windows call of a write that failed, whether or not the write then
// found another way.
struct FileStepFailure {
    std::string call;  // as "MoveFileExA"
    std::string path;  // the file it was made on: the target or the new file beside it
    std::uint32_t win32Error = 0;
};

struct FileReplaceResult {
    enum class Failure {
        None,
        Create,  // the file could be neither replaced, created nor opened for writing
        Write,   // writing, flushing or closing failed or was short
        Changed, // the file no longer held the expected text; nothing was written
    };
    enum class Method {
        None,
        Replaced,  // a new file with the old one's rights took its place
        Created,   // there was no file; a new one was put in place
        InPlace,   // the existing file was overwritten and cut to length
    };
    Failure failure = Failure::None;
    std::uint32_t win32Error = 0;  // the failed call's code; 0 if none reported one
    Method method = Method::None;
    std::vector<FileStepFailure> failedSteps;  // in the order they happened

    explicit operator bool() const { return failure == Failure::None; }
};

// Puts the text in the file, creating it when it does not exist. Every failed
// step is listed in the result for the caller to log.
FileReplaceResult ReplaceFileContents(const std::string& path, const std::string& text);

// Puts the text in the existing file only if it still holds exactly the
// expected bytes: compare and write happen under one handle that lets others
// read but neither write, rename nor delete the file, so nothing saved between
// the caller's read and this write is lost. The file is rewritten in place
// (it keeps its rights and attributes); a writer that holds it open at that
// moment makes this wait briefly, then fail.
FileReplaceResult ReplaceFileContentsIfUnchanged(const std::string& path, const std::string& expected,
                                                 const std::string& text);
