#pragma once
// Owns a ReaderStatusList filled by the native layer and releases its items
// with array delete. An items pointer of null is an empty list.

#include "api/TLYApi.h"

#include <span>

class ReaderList {
public:
    ReaderList() = default;
    ~ReaderList() { delete[] list_.items; }
    ReaderList(const ReaderList&) = delete;
    ReaderList& operator=(const ReaderList&) = delete;

    // For the native layer to fill; must be empty.
    ReaderStatusList* Receive() noexcept { return &list_; }

    std::span<const ReaderStatusEntry> Entries() const noexcept {
        if (!list_.items || list_.count <= 0) return {};
        return {list_.items, static_cast<std::size_t>(list_.count)};
    }

private:
    ReaderStatusList list_{nullptr, 0};
};
