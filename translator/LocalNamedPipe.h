#pragma once
// The host framework's local direct-command queue: commands for the panel wait
// here, oldest first, and an event is signalled while any is waiting. The
// translator takes one per Ors_SendPanelNextDirectCmd.

#include "platform/Mutex.h"
#include "platform/UniqueResource.h"

#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

class CLocalNamedPipe {
public:
    using Command = std::vector<std::uint8_t>;

    CLocalNamedPipe();
    CLocalNamedPipe(const CLocalNamedPipe&) = delete;
    CLocalNamedPipe& operator=(const CLocalNamedPipe&) = delete;

    // False when the signalling event could not be made; the queue is then unusable.
    bool IsReady() const noexcept { return signal_.valid(); }

    void Push(Command command) TLY_EXCLUDES(lock_);
    std::optional<Command> Pop() TLY_EXCLUDES(lock_);
    std::size_t Size() const TLY_EXCLUDES(lock_);

    // Manual-reset event, signalled while the queue is not empty.
    HANDLE Signal() const noexcept { return signal_.get(); }

private:
    mutable tly::Mutex lock_;  // leaf
    std::deque<Command> commands_ TLY_GUARDED_BY(lock_);
    tly::UniqueHandle signal_;
};
