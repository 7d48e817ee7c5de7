// The reload ahead of a status request. Without the event channel it is the
// whole initial data load. With the channel up, the server pushes every reader
// connection, disconnection and door change into the lists as it happens, so
// the site-wide lists (doors, handhelds, connected readers) loaded for one
// panel's status request serve the other panels' requests that follow within
// a second, as long as the same connection of the channel stays up: a site of
// many panels costs the server one load of them a second rather than one per
// panel. Each request still loads its own panel's readers and runs the
// pending activities. Bringing the transition queues in line goes with the
// load of the site-wide lists: between two such loads the channel queues every
// change itself.

#include "api/TLYApiImpl.h"
#include "logging/Log.h"
#include "logging/RepeatedLines.h"
#include "platform/Clock.h"

#include <mutex>

// siteWideReloadMutex held.
bool TLYApiImpl::SiteWideListsShareable(std::uint64_t channelSerial, std::uint32_t now) const {
    return siteWideReload.valid && siteWideReload.channelSerial == channelSerial &&
           now - siteWideReload.tick < kSharedReloadWindowMs;  // unsigned: wrap-safe
}

void TLYApiImpl::ReloadForStatus(std::int32_t panelId) {
    // IsConnected first, then the serial (see TLYWebSocket::ConnectionSerial).
    if (!webSocket.IsConnected()) {
        GetInitialData(panelId);
        return;
    }
    const std::uint64_t channelSerial = webSocket.ConnectionSerial();

    // Every status request of every panel reloads: at info once in ten minutes per panel.
    tly::LogRoutine(LogLevel::Info, "tly_api", "initial_data.fetch_start",
                    "Fetching initial doors, readers, handhelds, and connected-reader state", {{"panel_id", panelId}},
                    "initial_data.fetch_start/" + std::to_string(panelId));
    // Requests arriving while a load is under way wait for it and share it.
    std::unique_lock<std::mutex> serialised(siteWideReloadMutex);
    const std::uint32_t now = tly::CurrentClock().TickCount();
    if (SiteWideListsShareable(channelSerial, now)) {
        LogApiEvent(LogLevel::Debug, "initial_data.site_lists_shared",
                    "Using the site-wide lists loaded for a status request moments ago",
                    {{"panel_id", panelId}, {"age_ms", static_cast<std::int64_t>(now - siteWideReload.tick)}});
        serialised.unlock();
        LoadPanelReaders(panelId);
    } else {
        // In the order of the whole load, so the last error text is the same.
        bool loaded = LoadDoors();
        loaded &= LoadHandhelds();
        LoadPanelReaders(panelId);
        loaded &= LoadConnectedReaders();
        // A failed load is not shared: the next request tries again.
        siteWideReload = {loaded, channelSerial, now};
        ReconcileReaderTransitions();
        serialised.unlock();
    }
    FetchAndProcessPendingActivities();
}
