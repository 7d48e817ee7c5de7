#pragma once
// currentTranslator: the translator object constructed last, to which the
// native call-backs deliver when no panel is known. Call-backs get an event
// channel, never the object itself, so a delivery racing the object's destruction works on the
// channel it copied; the destructor clears the slot when it still names the
// object being destroyed, after which no new delivery reaches that object.

#include "translator/HostEventChannel.h"

#include <cstdint>
#include <memory>
#include <optional>

class CAccessControlTrans;

void SetCurrentTranslator(const CAccessControlTrans* object, std::shared_ptr<HostEventChannel> channel);
void ClearCurrentTranslator(const CAccessControlTrans* object);

// The current translator's channel, or null when there is none.
std::shared_ptr<HostEventChannel> CurrentTranslatorChannel();

// Where a native call-back delivers: the channel of the newest live
// translator of the given panel, so that with several panels in one process
// each event reaches its own panel; null when no live translator has that
// panel; the current translator's channel when no panel is known.
std::shared_ptr<HostEventChannel> DeliveryChannel(std::optional<std::int32_t> panelId);
