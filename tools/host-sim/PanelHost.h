#pragma once
// Plays the host for one panel, the way the host drives a translator: create
// it by ProgID, advise the event sink, set the panel id, create and initialise
// communication, then, until told to stop, initialise the panel while it is
// offline, poll it and request its status. Runs on a thread of its own in the
// multi-threaded apartment.

#include "tools/host-sim/CallbackFaults.h"
#include "tools/host-sim/EventPrinter.h"
#include "tools/host-sim/Options.h"

#include <windows.h>

#include <cstdint>

namespace hostsim {

// Returns 0, or 3 when the translator could not be created or advised.
int RunPanel(const Options& options, std::int32_t panel, EventPrinter& printer, CallbackFaults& faults,
             HANDLE stop);

}  // namespace hostsim
