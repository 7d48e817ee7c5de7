#pragma once
// Where the translator keeps what it writes: the settings file, the logs, the
// delivery journal and the badge files. Apart from the programs when the
// installer package recorded a data folder for the folder the module lies in
// (programs read-only to the host under Program Files, data under
// ProgramData); otherwise the module's own folder, as a folder unpacked from
// the zip has it. ModuleDirectory() stays where the programs are.
//
// A test's SetModuleDirectoryForTesting() folder stands for both.

#include <string>

// Without a trailing separator. Cheap: the installer's record is read once
// per process.
std::string DataDirectory();
