#include "platform/ModuleThread.h"

#include <memory>

namespace tly {
namespace {

struct ThreadStart {
    std::function<void()> body;
    HMODULE module;
};

DWORD WINAPI ThreadMain(void* parameter) {
    std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(parameter));
    try {
        start->body();
    } catch (...) {
        // A thread body reports its own failures; nothing may escape the thread.
    }
    const HMODULE module = start->module;
    start.reset();
    if (module) ::FreeLibraryAndExitThread(module, 0);
    return 0;
}

HMODULE ReferenceOwnModule() {
    HMODULE module = nullptr;
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&ThreadMain), &module);
    return module;
}

}  // namespace

ModuleThread::~ModuleThread() {
    // An owner that forgot to stop its thread leaves it running rather than
    // block here; the thread holds the module, so this cannot crash.
}

bool ModuleThread::Start(std::function<void()> body) {
    auto start = std::make_unique<ThreadStart>(ThreadStart{std::move(body), ReferenceOwnModule()});
    DWORD id = 0;
    HANDLE thread = ::CreateThread(nullptr, 0, &ThreadMain, start.get(), 0, &id);
    if (!thread) {
        const DWORD error = ::GetLastError();  // the caller logs CreateThread's error
        if (start->module) ::FreeLibrary(start->module);
        ::SetLastError(error);
        return false;
    }
    start.release();
    handle_.reset(thread);
    threadId_ = id;
    return true;
}

bool ModuleThread::Join(DWORD timeoutMs) {
    if (!handle_) return true;
    if (::GetCurrentThreadId() == threadId_) return false;  // a thread cannot wait for itself
    if (::WaitForSingleObject(handle_.get(), timeoutMs) != WAIT_OBJECT_0) return false;
    handle_.reset();
    threadId_ = 0;
    return true;
}

}  // namespace tly
