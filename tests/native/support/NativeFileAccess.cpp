// The native lane's whole-file reads and writes (platform/FileAccess.h): the
// same contract on the Linux file system, without the Windows rights and
// attributes. Paths are built by the product with Windows separators, so a
// backslash is read as a directory separator.

#include "platform/FileAccess.h"

#include <cstdio>
#include <fstream>
#include <iterator>

namespace {

std::string LinuxPath(std::string path) {
    for (char& c : path) {
        if (c == '\\') c = '/';
    }
    return path;
}

}  // namespace

bool ReadWholeFile(const std::string& path, std::string& bytes) {
    std::ifstream in(LinuxPath(path), std::ios::binary);
    if (!in) return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

// Written beside the file, then renamed over it: a reader never sees half.
FileReplaceResult ReplaceFileContents(const std::string& path, const std::string& text) {
    FileReplaceResult result;
    const std::string target = LinuxPath(path);
    const std::string beside = target + ".new";
    {
        std::ofstream out(beside, std::ios::binary | std::ios::trunc);
        if (!out) {
            result.failure = FileReplaceResult::Failure::Create;
            return result;
        }
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
        if (!out.flush()) {
            result.failure = FileReplaceResult::Failure::Write;
            return result;
        }
    }
    if (std::rename(beside.c_str(), target.c_str()) != 0) {
        std::remove(beside.c_str());
        result.failure = FileReplaceResult::Failure::Create;
        return result;
    }
    result.method = FileReplaceResult::Method::Replaced;
    return result;
}
