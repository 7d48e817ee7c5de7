#pragma once
// Which translator object a native call-back delivers to: the newest live
// object of the panel being delivered, or, when no panel is known, the object
// constructed last. Call-backs get an object's event channel, never the object
// itself, so a delivery racing the object's destruction works on the channel
// it copied; the destructor takes the object out of the registry, after which
// no new delivery reaches it.

#include "translator/HostEventChannel.h"

#include <cstdint>
#include <memory>
#include <optional>

class CAccessControlTrans;

void SetCurrentTranslator(const CAccessControlTrans* object, std::shared_ptr<HostEventChannel> channel);
void ClearCurrentTranslator(const CAccessControlTrans* object);

// Where a native call-back delivers: the channel of the newest live
// translator of the given panel, so that with several panels in one process
// each event reaches its own panel; null when no live translator has that
// panel; the channel of the object constructed last when no panel is known.
std::shared_ptr<HostEventChannel> DeliveryChannel(std::optional<std::int32_t> panelId);
