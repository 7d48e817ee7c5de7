#include "translator/CurrentTranslator.h"

#include <mutex>

namespace {

struct CurrentTranslatorSlot {
    std::mutex lock;
    const CAccessControlTrans* object = nullptr;
    std::shared_ptr<HostEventChannel> channel;
};

CurrentTranslatorSlot& currentTranslator() {
    static CurrentTranslatorSlot slot;
    return slot;
}

}  // namespace

void SetCurrentTranslator(const CAccessControlTrans* object, std::shared_ptr<HostEventChannel> channel) {
    CurrentTranslatorSlot& slot = currentTranslator();
    std::lock_guard<std::mutex> guard(slot.lock);
    slot.object = object;
    std::swap(slot.channel, channel);
    // The previous channel (still owned by its object) is dropped after the lock.
}

void ClearCurrentTranslator(const CAccessControlTrans* object) {
    std::shared_ptr<HostEventChannel> dropped;
    CurrentTranslatorSlot& slot = currentTranslator();
    std::lock_guard<std::mutex> guard(slot.lock);
    if (slot.object != object) return;
    slot.object = nullptr;
    std::swap(slot.channel, dropped);
}

std::shared_ptr<HostEventChannel> CurrentTranslatorChannel() {
    CurrentTranslatorSlot& slot = currentTranslator();
    std::lock_guard<std::mutex> guard(slot.lock);
    return slot.channel;
}
