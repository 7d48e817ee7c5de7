#include "translator/CurrentTranslator.h"

#include "platform/Mutex.h"

#include <algorithm>
#include <iterator>
#include <vector>

namespace {

struct LiveTranslator {
    const CAccessControlTrans* object;
    std::shared_ptr<HostEventChannel> channel;
};

struct CurrentTranslatorSlot {
    tly::Mutex lock;  // leaf
    const CAccessControlTrans* object TLY_GUARDED_BY(lock) = nullptr;
    std::shared_ptr<HostEventChannel> channel TLY_GUARDED_BY(lock);
    std::vector<LiveTranslator> live TLY_GUARDED_BY(lock);  // in order of construction
};

CurrentTranslatorSlot& currentTranslator() {
    static CurrentTranslatorSlot slot;
    return slot;
}

}  // namespace

void SetCurrentTranslator(const CAccessControlTrans* object, std::shared_ptr<HostEventChannel> channel) {
    CurrentTranslatorSlot& slot = currentTranslator();
    tly::MutexLock guard(slot.lock);
    slot.live.push_back({object, channel});
    slot.object = object;
    std::swap(slot.channel, channel);
    // The previous channel (still owned by its object) is dropped after the lock.
}

void ClearCurrentTranslator(const CAccessControlTrans* object) {
    std::shared_ptr<HostEventChannel> dropped;
    CurrentTranslatorSlot& slot = currentTranslator();
    std::vector<LiveTranslator> leaving;
    tly::MutexLock guard(slot.lock);
    auto gone = std::stable_partition(slot.live.begin(), slot.live.end(),
                                      [object](const LiveTranslator& t) { return t.object != object; });
    leaving.assign(std::make_move_iterator(gone), std::make_move_iterator(slot.live.end()));
    slot.live.erase(gone, slot.live.end());
    if (slot.object != object) return;
    slot.object = nullptr;
    std::swap(slot.channel, dropped);
}

std::shared_ptr<HostEventChannel> DeliveryChannel(std::optional<std::int32_t> panelId) {
    CurrentTranslatorSlot& slot = currentTranslator();
    tly::MutexLock guard(slot.lock);
    if (!panelId) return slot.channel;
    for (auto it = slot.live.rbegin(); it != slot.live.rend(); ++it) {
        if (it->channel && it->channel->PanelId() == *panelId) return it->channel;
    }
    // Never another panel's object: the activity stays pending instead.
    return nullptr;
}
