#include "tests/support/TempModuleDirectory.h"

#include "tests/support/WaitUntil.h"

#include <gtest/gtest.h>

#include "logging/Log.h"

#include <windows.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace tly::test {

void RemoveDirectoryTree(const std::string& directory) {
    WIN32_FIND_DATAA data{};
    HANDLE find = ::FindFirstFileA((directory + "\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::string name = data.cFileName;
            if (name == "." || name == "..") continue;
            const std::string child = directory + "\\" + name;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveDirectoryTree(child);
            } else {
                ::SetFileAttributesA(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                ::DeleteFileA(child.c_str());
            }
        } while (::FindNextFileA(find, &data));
        ::FindClose(find);
    }
    ::SetFileAttributesA(directory.c_str(), FILE_ATTRIBUTE_NORMAL);
    ::RemoveDirectoryA(directory.c_str());
}

TempModuleDirectory::TempModuleDirectory() {
    static std::atomic<unsigned> sequence{0};
    char temp[MAX_PATH] = {};
    ::GetTempPathA(MAX_PATH, temp);
    std::string base = temp;
    if (!base.empty() && (base.back() == '\\' || base.back() == '/')) base.pop_back();
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string candidate = base + "\\tly-test-" + std::to_string(::GetCurrentProcessId()) + "-" +
                                std::to_string(::GetTickCount()) + "-" + std::to_string(sequence++);
        if (::CreateDirectoryA(candidate.c_str(), nullptr)) {
            path_ = candidate;
            break;
        }
    }
    if (path_.empty()) throw std::runtime_error("cannot create a temporary module directory");
    SetModuleDirectoryForTesting(path_);
    ResetLoggingForTesting();
}

std::string ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

// As an editor saves: a file the translator holds for a moment (a write-back
// compares and replaces it under one handle that shares no writing) is tried
// again, and a write that never lands fails the test instead of passing unseen.
void WriteFileBytes(const std::string& path, const std::string& bytes) {
    const bool written = WaitUntil(
        [&] {
            std::ofstream out(path, std::ios::binary | std::ios::trunc);
            if (!out) return false;
            out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
            out.close();
            return static_cast<bool>(out);
        },
        5000);
    if (!written) ADD_FAILURE() << "could not write " << path;
}

bool FileExists(const std::string& path) { return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

}  // namespace tly::test
