#include "translator/LocalNamedPipe.h"

CLocalNamedPipe::CLocalNamedPipe() : signal_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

void CLocalNamedPipe::Push(Command command) {
    tly::MutexLock guard(lock_);
    commands_.push_back(std::move(command));
    if (signal_) ::SetEvent(signal_.get());
}

std::optional<CLocalNamedPipe::Command> CLocalNamedPipe::Pop() {
    tly::MutexLock guard(lock_);
    if (commands_.empty()) return std::nullopt;
    Command next = std::move(commands_.front());
    commands_.pop_front();
    if (commands_.empty() && signal_) ::ResetEvent(signal_.get());
    return next;
}

std::size_t CLocalNamedPipe::Size() const {
    tly::MutexLock guard(lock_);
    return commands_.size();
}
