#pragma once
// The step about the COM registration: whether the host, creating the class by
// its ProgID, would load the DLL beside the check. Only reads the registry
// (the 32-bit view, which is the one the 32-bit host sees).

#include "tools/tallyport-check/CheckReport.h"

#include <string>

// The class's ProgIDs, class key, InprocServer32 path and threading model and
// the type library's registration, against the DLL at dll. A registration of
// another folder fails with that folder named: the host loads its DLL, which
// reads that folder's settings, not these.
StepResult CheckRegistration(const std::string& dll);

// "1.2.3" from a file's version resource; empty when it has none.
std::string FileVersion(const std::string& path);

// The command that repairs the MSI installation of this version: every file,
// the registration and the data folder put back ("msiexec /fa" is not enough
// everywhere).
std::string MsiRepairCommand();

// A string value the MSI package writes under the product's key (32-bit view):
// "ProductCode", "Version", "InstallFolder", "DataFolder"; empty when absent
// (no package installed). UTF-8.
std::string InstalledProductValue(const char* name);
