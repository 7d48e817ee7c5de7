// What the temporary module directory does the same on Windows and in the
// native lane; each build's own file creates the folder and provides the
// whole-file access these call.

#include "tests/support/TempModuleDirectory.h"

#include "logging/Log.h"

namespace tly::test {

TempModuleDirectory::~TempModuleDirectory() {
    ResetLoggingForTesting();
    SetModuleDirectoryForTesting({});
    RemoveDirectoryTree(path_);
}

bool TempModuleDirectory::Exists(const std::string& name) const { return FileExists(File(name)); }
std::string TempModuleDirectory::Read(const std::string& name) const { return ReadFileBytes(File(name)); }
void TempModuleDirectory::Write(const std::string& name, const std::string& bytes) const {
    WriteFileBytes(File(name), bytes);
}

}  // namespace tly::test
