#pragma once
// The activities the bench puts on the simulator: badge swipes at panel 1's
// readers, mostly granted, every fifth one denied with a reason.

#include "tests/support/Simulator.h"

#include <cstdint>
#include <vector>

namespace bench {

constexpr std::int32_t kPanel = 1;

// Replaces whatever is pending with count new activities, without telling the
// event channel (notify) unless asked.
void LoadBacklog(tly::test::SimulatorControl& control, int count, bool notify = false);
// The same for each of several panels, count each.
void LoadBacklog(tly::test::SimulatorControl& control, const std::vector<std::int32_t>& panels, int count);

// Throws unless the simulator holds nothing pending any more.
void RequireDrained(tly::test::SimulatorControl& control);

}  // namespace bench
