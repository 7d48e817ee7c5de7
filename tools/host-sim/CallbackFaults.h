#pragma once
// Host failures played inside the sink's call for a card record, so that a
// test can end the host while the translator waits for a call-back to return:
//  - a crash on one chosen card number, every time that card arrives (a host
//    that cannot survive one record);
//  - a hold armed from outside by creating a file: the next card record's
//    call-back (of a card the file does not list) deletes it, says so and
//    waits, so that whoever created the file can kill the process while the
//    call-back is under way.
// Each is announced on its own output line before it happens, so the record
// the host was in is known even when the process ends without another word.

#include "tools/host-sim/EventPrinter.h"
#include "tools/host-sim/Options.h"

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>

namespace hostsim {

class CallbackFaults {
public:
    // `stop` ends a hold early, so that a stopped run does not wait for it.
    CallbackFaults(const Options& options, EventPrinter& printer, HANDLE stop);

    // Called inside the sink's call, after the card record was printed.
    void AfterCardRecord(std::int32_t sinkPanel, std::int64_t cardNumber);

private:
    [[noreturn]] void Crash(std::int32_t sinkPanel, std::int64_t cardNumber);
    bool TakeHold(std::int64_t cardNumber);

    const std::optional<std::int64_t> crashOnCard_;
    const CrashKind crashKind_;
    const std::wstring holdFile_;
    const std::uint32_t holdMs_;
    EventPrinter& printer_;
    const HANDLE stop_;
};

}  // namespace hostsim
