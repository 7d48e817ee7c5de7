#pragma once
// What all translator objects of the process know together about the server
// side: whether the panels were reported connected, whether a restore is still
// to be completed, whether the initial data were fetched since, and when the
// last reconnection was attempted. Several panels poll at once, so every test
// and change of the flags is one step under one lock: exactly one caller sees
// each transition and reports it.

#include <cstdint>
#include <mutex>

class CommunicationFlags {
public:
    static constexpr std::uint32_t kReconnectIntervalMs = 30000;

    static CommunicationFlags& Process();

    // The server side was found gone: clears commUp and initialDataFetched,
    // and restorePending too when asked. True for the one caller that found
    // commUp set and so reports the loss.
    bool TakeLoss(bool clearRestorePending);

    enum class Restore {
        None,       // nothing to do
        Connected,  // first sight of the server side: report the panel connected
        Complete,   // second sight: send the restored event and fetch the initial data
    };
    // The server side was found subscribed by a status request.
    Restore NoteSubscribed();

    bool InitialDataFetched() const;

    // The reconnect throttle: true, with the attempt's time stamp taken, when
    // no attempt started in the last kReconnectIntervalMs (tick counts wrap).
    bool TryBeginReconnect(std::uint32_t nowTick);

private:
    mutable std::mutex lock_;
    bool commUp_ = false;
    bool restorePending_ = false;
    bool initialDataFetched_ = false;
    std::uint32_t lastReconnectTick_ = 0;  // 0: no attempt yet
};
