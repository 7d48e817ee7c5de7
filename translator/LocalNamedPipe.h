#pragma once
// The host framework's local direct-command queue: commands for the panel wait
// here, oldest first, and an event is signalled while any is waiting. The
// translator takes one per Ors_SendPanelNextDirectCmd.

#include "platform/UniqueResource.h"

#include <cstdint>
#include <deque>
#include <mutex>
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

    void Push(Command command);
    std::optional<Command> Pop();
    std::size_t Size() const;

    // Manual-reset event, signalled while the queue is not empty.
    HANDLE Signal() const noexcept { return signal_.get(); }

private:
    mutable std::mutex lock_;
    std::deque<Command> commands_;
    tly::UniqueHandle signal_;
};
