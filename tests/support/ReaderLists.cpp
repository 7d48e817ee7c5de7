#include "tests/support/ReaderLists.h"

namespace tly::test {

DrainedReaders DrainReaders(bool online, std::int32_t panelId) {
    ReaderStatusEntry sentinel{};
    ReaderStatusList list{&sentinel, -1};
    if (online) {
        TLYAPI_GetReadersGoneOnline(panelId, &list);
    } else {
        TLYAPI_GetReadersGoneOffline(panelId, &list);
    }
    DrainedReaders result;
    if (list.items == &sentinel && list.count == -1) return result;
    result.touched = true;
    for (int i = 0; i < list.count; ++i) {
        result.readers.push_back(list.items[i].readerIndex);
        result.online.push_back(list.items[i].online);
    }
    delete[] list.items;
    return result;
}

}  // namespace tly::test
