#pragma once
// One line per change of a panel's link to the server, whichever host call
// noticed it (start, poll or status request all ask GetSubscribed): at warn
// when it is lost, with the cause in words and when the trouble began, and at
// info when it is back, with how long it was away. The answer to "why did
// panel 1 go offline?" is then one line, however much else the outage wrote.
// It also keeps, for the live status, each panel's link, since when, and the
// cause of its last loss as the lost line gave it.
// Owns its state and its lock, a leaf: nothing is taken under it, and the lines
// are logged after it is let go.

#include "platform/Mutex.h"
#include "transport/TransportTrouble.h"

#include "api/LiveStatus.h"

#include <cstdint>
#include <map>
#include <string>

class PanelLinkLog {
public:
    // What the connection check answered for a panel; when it said no, the
    // transport's last trouble and the last error text stand for the cause.
    void Note(std::int32_t panelId, bool up, const TransportTrouble& trouble, const std::string& lastError)
        TLY_EXCLUDES(lock_);

    // Each panel's link as the live status shows it.
    std::map<std::int32_t, StatusSources::Link> Snapshot() const TLY_EXCLUDES(lock_);

    // A closed panel starts afresh when it is opened again.
    void Forget(std::int32_t panelId) TLY_EXCLUDES(lock_);
    // Every panel and the process's trouble (tests, which share the instance).
    void ForgetAll() TLY_EXCLUDES(lock_);

private:
    enum class Link { Unknown, Up, Down };
    struct Trouble {
        std::string since;  // local time of the first failed check
        std::uint32_t sinceTick = 0;
        TransportTrouble first;
        std::string lastError;
    };

    mutable tly::Mutex lock_;
    std::map<std::int32_t, Link> panels_ TLY_GUARDED_BY(lock_);
    std::map<std::int32_t, StatusSources::Link> shown_ TLY_GUARDED_BY(lock_);
    Trouble trouble_ TLY_GUARDED_BY(lock_);  // the process's: the transport is shared by all panels
    bool troubled_ TLY_GUARDED_BY(lock_) = false;
};
