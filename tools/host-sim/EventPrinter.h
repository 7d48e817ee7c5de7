#pragma once
// Everything host-sim reports, one line per item on standard output, readable
// or as JSON lines. Lines come from several threads (the panels' and the
// translator's), so each is written whole under a lock and flushed at once.

#include "TallyportAccessControl.h"
#include "platform/Mutex.h"

#include <cstdint>
#include <string>
#include <vector>

namespace hostsim {

class EventPrinter {
public:
    explicit EventPrinter(bool json) : json_(json) {}

    // An event record the sink of panel sinkPanel received.
    void Event(std::int32_t sinkPanel, const _ORSMESSAGEEX& record, BSTR text, long value);
    // A status request's answer, printed when it differs from the last one.
    void Status(std::int32_t panel, bool panelOnline, const std::vector<std::int32_t>& readersOnline);
    // A host call and its result.
    void Call(std::int32_t panel, const char* method, HRESULT result);
    void Note(std::int32_t panel, const std::string& message);
    // A fault played inside a card record's call-back (CallbackFaults): what
    // is "crash", "hold" or "released"; it becomes the line's kind.
    void CallbackFault(std::int32_t sinkPanel, const char* what, std::int64_t cardNumber);

private:
    void Write(const std::string& line) TLY_EXCLUDES(lock_);

    const bool json_;
    tly::Mutex lock_;  // one line at a time on standard output; leaf
};

// "2024-03-01T08:05:09" for seconds since 1970, "none" for 0xFFFFFFFF.
std::string HostTimeText(std::uint32_t seconds);

}  // namespace hostsim
