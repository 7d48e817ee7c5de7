#pragma once
// What all translator objects of the process know together about the server
// side: whether the panels were reported connected, whether a restore is still
// to be completed, whether the initial data were fetched since, and when the
// last reconnection was attempted. Several panels poll at once, so every test
// and change of the flags is one step under one lock: exactly one caller sees
// each transition and reports it.

#include "platform/Mutex.h"

#include <cstdint>

class CommunicationFlags {
public:
    static constexpr std::uint32_t kReconnectIntervalMs = 30000;

    static CommunicationFlags& Process();

    // The server side was found gone: clears commUp and initialDataFetched,
    // and restorePending too when asked. True for the one caller that found
    // commUp set and so reports the loss.
    bool TakeLoss(bool clearRestorePending) TLY_EXCLUDES(lock_);

    enum class Restore {
        None,       // nothing to do
        Connected,  // first sight of the server side: report the panel connected
        Complete,   // second sight: send the restored event and fetch the initial data
    };
    // The server side was found subscribed by a status request.
    Restore NoteSubscribed() TLY_EXCLUDES(lock_);

    bool InitialDataFetched() const TLY_EXCLUDES(lock_);

    // The reconnect throttle: true, with the attempt's time stamp taken, when
    // no attempt started in the last kReconnectIntervalMs (tick counts wrap).
    bool TryBeginReconnect(std::uint32_t nowTick) TLY_EXCLUDES(lock_);

private:
    mutable tly::Mutex lock_;  // leaf
    bool commUp_ TLY_GUARDED_BY(lock_) = false;
    bool restorePending_ TLY_GUARDED_BY(lock_) = false;
    bool initialDataFetched_ TLY_GUARDED_BY(lock_) = false;
    std::uint32_t lastReconnectTick_ TLY_GUARDED_BY(lock_) = 0;  // 0: no attempt yet
};
