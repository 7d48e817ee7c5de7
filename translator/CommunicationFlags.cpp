#include "translator/CommunicationFlags.h"

CommunicationFlags& CommunicationFlags::Process() {
    static CommunicationFlags flags;
    return flags;
}

bool CommunicationFlags::TakeLoss(bool clearRestorePending) {
    tly::MutexLock guard(lock_);
    const bool wasUp = commUp_;
    if (wasUp) {
        commUp_ = false;
        initialDataFetched_ = false;
        if (clearRestorePending) restorePending_ = false;
    }
    return wasUp;
}

CommunicationFlags::Restore CommunicationFlags::NoteSubscribed() {
    tly::MutexLock guard(lock_);
    if (!commUp_) {
        commUp_ = true;
        restorePending_ = true;
        return Restore::Connected;
    }
    if (restorePending_) {
        restorePending_ = false;
        initialDataFetched_ = true;
        return Restore::Complete;
    }
    return Restore::None;
}

bool CommunicationFlags::InitialDataFetched() const {
    tly::MutexLock guard(lock_);
    return initialDataFetched_;
}

bool CommunicationFlags::TryBeginReconnect(std::uint32_t nowTick) {
    tly::MutexLock guard(lock_);
    if (lastReconnectTick_ != 0 && nowTick - lastReconnectTick_ < kReconnectIntervalMs) return false;
    lastReconnectTick_ = nowTick;
    return true;
}
