#pragma once
// currentTranslator: the translator object constructed last, to which the
// native call-backs deliver. Call-backs get its event channel, never the
// object itself, so a delivery racing the object's destruction works on the
// channel it copied; the destructor clears the slot when it still names the
// object being destroyed, after which no new delivery reaches that object.

#include "translator/HostEventChannel.h"

#include <memory>

class CAccessControlTrans;

void SetCurrentTranslator(const CAccessControlTrans* object, std::shared_ptr<HostEventChannel> channel);
void ClearCurrentTranslator(const CAccessControlTrans* object);

// The current translator's channel, or null when there is none.
std::shared_ptr<HostEventChannel> CurrentTranslatorChannel();
