// The native lane's temporary module directory (tests/support/
// TempModuleDirectory.h) on the Linux file system. Paths are built with
// Windows separators, as the product builds them, so a backslash is read as
// a directory separator.

#include "tests/support/TempModuleDirectory.h"

#include "logging/Log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace tly::test {
namespace {

std::string LinuxPath(std::string path) {
    std::replace(path.begin(), path.end(), '\\', '/');
    return path;
}

}  // namespace

void RemoveDirectoryTree(const std::string& directory) {
    std::error_code ignored;
    std::filesystem::remove_all(LinuxPath(directory), ignored);
}

TempModuleDirectory::TempModuleDirectory() {
    const char* temp = std::getenv("TMPDIR");
    std::string pattern = std::string(temp && *temp ? temp : "/tmp") + "/tly-test-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot create a temporary module directory");
    path_ = pattern;
    SetModuleDirectoryForTesting(path_);
    ResetLoggingForTesting();
}

std::string ReadFileBytes(const std::string& path) {
    std::ifstream in(LinuxPath(path), std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(LinuxPath(path), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) ADD_FAILURE() << "could not write " << path;
}

bool FileExists(const std::string& path) { return std::filesystem::exists(LinuxPath(path)); }

}  // namespace tly::test
