#pragma once
// The certificate pin the process holds the server to, and how a settings
// record read from the file may change it. A pin, once configured or taken on
// first use, stays for the life of the process: a file that could not be
// written, or that is read again without the pin, does not drop it, or the
// next certificate would be trusted anew. Only the file's own pin changing
// between two reads (an operator's edit that sets, replaces or clears it)
// replaces the pin in force. No lock of its own: its owner's guards it.

#include <string>

class PinInForce {
public:
    // The pin a file just read holds (normalised; empty: none). True when it
    // replaced the pin in force.
    bool FileRead(const std::string& filePin);
    // A pin taken on first use, whether or not it reached the file.
    void Taken(const std::string& pin) { pin_ = pin; }
    // The file holds this pin now (written by this process): emptying it
    // there is an edit, whether or not a read saw it in between.
    void Saved(const std::string& pin) { filePin_ = pin; }
    // Empty: the next certificate seen is pinned.
    const std::string& Pin() const { return pin_; }

private:
    std::string pin_;
    std::string filePin_;  // what the file held at its last read
};
