#pragma once
// The support bundle (--bundle FILE.zip): what support asks for first, in one
// zip that opens with any unzip: the check's JSON report, the settings file
// with the client id's value, the client secret and any stored ("DPAPI:")
// secret replaced by a marker, the end of the log and of its rotated files
// (8 MB across them, newest first; only files of the log's own:
// LogFileOwnership.h), the last 1 MB of the bootstrap log, the versions of the
// DLL, the check and Windows, the registration the check found, the installed
// MSI product and folders, WinHTTP's proxy setting, the time zone and the
// server clock's offset, and the activities the delivery journal holds back,
// if any. The secret, plain or encrypted, is searched for in every member and
// replaced, and so is the client id where it stands as a word, so neither
// leaves the machine this way.

#include "tools/tallyport-check/CheckReport.h"

#include <string>

// False with the reason in error when the file cannot be written.
bool WriteSupportBundle(const std::string& zipPath, const CheckReport& report, const std::string& dll,
                        const std::string& dllVersion, std::string& error);
