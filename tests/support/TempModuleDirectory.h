#pragma once
// A fresh temporary directory that stands in for the module's own directory:
// settings, log and badge files of a test live there and vanish afterwards.

#include <string>

namespace tly::test {

class TempModuleDirectory {
public:
    TempModuleDirectory();
    ~TempModuleDirectory();
    TempModuleDirectory(const TempModuleDirectory&) = delete;
    TempModuleDirectory& operator=(const TempModuleDirectory&) = delete;

    const std::string& Path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "\\" + name; }

    bool Exists(const std::string& name) const;
    std::string Read(const std::string& name) const;
    void Write(const std::string& name, const std::string& bytes) const;

private:
    std::string path_;
};

// Whole-file helpers for any path.
std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);
bool FileExists(const std::string& path);
void RemoveDirectoryTree(const std::string& directory);

}  // namespace tly::test
