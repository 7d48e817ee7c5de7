#pragma once
// The edge of every COM method and call-back that may meet an exception: the
// body runs inside, and nothing it throws crosses the interface.

#include <windows.h>

#include <new>

namespace tly::com {

template <typename Body>
HRESULT ComMethod(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

}  // namespace tly::com
