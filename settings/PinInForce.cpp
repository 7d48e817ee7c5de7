#include "settings/PinInForce.h"

bool PinInForce::FileRead(const std::string& filePin) {
    // The same pin as at the last read: nobody edited it, whatever else changed.
    if (filePin == filePin_) return false;
    filePin_ = filePin;
    const bool replaced = pin_ != filePin;
    pin_ = filePin;
    return replaced;
}
