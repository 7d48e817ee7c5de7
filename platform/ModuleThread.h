#pragma once
// A thread that keeps this module loaded while it runs. Its body runs inside a
// catch-all; when it returns, the thread releases its module reference and
// exits in one step (FreeLibraryAndExitThread), so no code of an unloaded
// module can ever run, and a FreeLibrary that races the thread's end cannot
// deadlock on it. The owner stops the body by its own means (an event), then
// waits with Join.

#include "platform/UniqueResource.h"

#include <functional>

namespace tly {

class ModuleThread {
public:
    ModuleThread() = default;
    ~ModuleThread();
    ModuleThread(const ModuleThread&) = delete;
    ModuleThread& operator=(const ModuleThread&) = delete;

    // False when the thread could not be created (the body then never runs).
    bool Start(std::function<void()> body);

    // Waits for the thread to end; true when it ended within the time-out.
    // False at once when called from the thread itself.
    bool Join(DWORD timeoutMs = INFINITE);

    // Whether the caller runs on this thread (a call-back of its body).
    bool IsCurrentThread() const { return handle_ && ::GetCurrentThreadId() == threadId_; }

private:
    UniqueHandle handle_;
    DWORD threadId_ = 0;
};

}  // namespace tly
