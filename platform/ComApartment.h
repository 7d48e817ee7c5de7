#pragma once
// A COM apartment for the calling thread, for as long as the object lives:
// COINIT_APARTMENTTHREADED (single-threaded) or COINIT_MULTITHREADED. Whatever
// COM handed out must be released before it ends.

#include <objbase.h>

namespace tly {

class ComApartment {
public:
    explicit ComApartment(DWORD model) : result_(::CoInitializeEx(nullptr, model)) {}
    ~ComApartment() {
        if (SUCCEEDED(result_)) ::CoUninitialize();
    }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;

    // S_OK, S_FALSE (already initialised alike), or why not (RPC_E_CHANGED_MODE).
    HRESULT Result() const { return result_; }

private:
    HRESULT result_;
};

}  // namespace tly
