#pragma once
// Collects the reader transition queues through the exports, as the host does.

#include "api/TLYApi.h"

#include <cstdint>
#include <vector>

namespace tly::test {

struct DrainedReaders {
    std::vector<std::int32_t> readers;
    std::vector<int> online;
    bool touched = false;  // false: the caller's record was left as it was
};

DrainedReaders DrainReaders(bool online, std::int32_t panelId);

}  // namespace tly::test
