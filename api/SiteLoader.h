#pragma once
// Loading the site from the server's REST interface into the site model: the
// doors, the handhelds, one panel's readers and the handhelds connected now,
// then bringing the reader transition queues in line with them.
//
// It owns the memory of the last site-wide load that status requests may
// share, guarded by sharedLoadLock_, which is held across that load's REST
// requests and its turn for a list parse; under it are taken the REST
// client's lock, the site model's (and what it allows), the last error's and
// the log's. And it owns the bound on concurrent list parses.

#include "api/LastErrorText.h"
#include "api/SiteModel.h"
#include "logging/Log.h"
#include "platform/ConcurrencyLimit.h"
#include "platform/Mutex.h"
#include "transport/TLYRestClient.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

class SiteLoader {
public:
    SiteLoader(TLYRestClient& rest, SiteModel& site, LastErrorText& lastError)
        : rest_(rest), site_(site), lastError_(lastError) {}
    SiteLoader(const SiteLoader&) = delete;
    SiteLoader& operator=(const SiteLoader&) = delete;

    // The whole load for a panel; false when any list failed (the last error
    // names the last failure).
    bool LoadAll(std::int32_t panelId);

    // The reload ahead of a status request. While the event channel is up it
    // keeps the site-wide lists current, so status requests arriving within
    // kSharedLoadWindowMs of a load made on the same connection of the channel
    // (channelSerial) share it; each still loads its own panel's readers.
    void LoadForStatus(std::int32_t panelId, bool channelUp, std::uint64_t channelSerial)
        TLY_EXCLUDES(sharedLoadLock_);
    static constexpr std::uint32_t kSharedLoadWindowMs = 1000;

private:
    // What one site-list fetch requests, parses and reports.
    struct ListFetch {
        std::string endpoint;
        const char* member;
        const char* fetchFailedText;
        const char* fetchFailedEvent;
        const char* fetchFailedMessage;
        const char* parseFailedText;
        const char* parseFailedEvent;
        const char* parseFailedMessage;
        LogFields panelFields;
    };
    template <typename Record, typename ReadElement, typename Store, typename Loaded>
    bool LoadList(const ListFetch& fetch, ReadElement readElement, Store store, Loaded loaded);
    bool LoadDoors();
    bool LoadHandhelds();
    bool LoadPanelReaders(std::int32_t panelId);
    bool LoadConnected();
    void Reconcile();
    static void LogFetchStart(std::int32_t panelId);

    TLYRestClient& rest_;
    SiteModel& site_;
    LastErrorText& lastError_;

    // The last site-wide load for a status request.
    struct SharedLoad {
        bool valid = false;               // every site-wide fetch succeeded
        std::uint64_t channelSerial = 0;  // the channel connection that was up
        std::uint32_t tick = 0;           // when the load began
    };
    tly::Mutex sharedLoadLock_;  // held across the shared load's requests; the site model's lock under it
    SharedLoad sharedLoad_ TLY_GUARDED_BY(sharedLoadLock_);

    // A parsed list document takes many times its text in short-lived memory.
    // Status requests of many panels land together; with this bound, the
    // process's peak of such memory does not grow with the number of panels.
    static constexpr int kConcurrentListParses = 2;
    tly::ConcurrencyLimit listParses_{kConcurrentListParses};

    // Once set, every later load refills both transition queues from the lists.
    std::atomic<bool> loadedOnce_{false};
};
