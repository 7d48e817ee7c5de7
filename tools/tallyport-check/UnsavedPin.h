#pragma once
// A certificate pin the translator took on first use and could not save: in
// force in the running host, missing from the settings file, so the next
// start would trust whatever certificate it meets first. Only the
// translator's log knows of it.

#include <optional>
#include <string>

struct UnsavedPin {
    std::string thumbprint;
    std::string reason;
    std::string timestamp;  // of the log line
};

// From the log file's lines: the last of the translator's pin lines, when it
// is the error "tofu.thumbprint_not_saved". A pin saved or replaced after it
// ends the case. Nothing when the log cannot be read.
std::optional<UnsavedPin> FindUnsavedPin(const std::string& logPath);
