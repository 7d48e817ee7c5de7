// The run gate's requests.
#include "api/ActivityRunGate.h"

void ActivityRunGate::Ask(Urgency urgency) {
    // The kind first: a holder that sees the request also sees its kind.
    if (urgency == Urgency::AllPanels) allPanels_.store(true);
    asked_.store(true);
}

bool ActivityRunGate::TryEnter() {
    bool expected = false;
    return underWay_.compare_exchange_strong(expected, true);
}

// The request before its kind: a request for every panel made between the two
// either has its kind taken here or leaves both flags set for the next pass,
// so none is served as less than it asked for.
ActivityRunGate::Pass ActivityRunGate::TakeRequestForPass() {
    if (!asked_.exchange(false)) return Pass::None;
    return allPanels_.exchange(false) ? Pass::AllPanels : Pass::DuePanels;
}
