#pragma once
// The COM module's lock count: one for every live object, every outside
// reference to a class factory and every IClassFactory::LockServer(TRUE).
// While it is above 0 the module must stay loaded.

namespace tly::com {

void LockModule() noexcept;
void UnlockModule() noexcept;
long ModuleLockCount() noexcept;

// One module lock for as long as it lives. An object takes it as its first
// base, so it is released last: after the object's own destructor, which may
// run code of this module for a while (a translator closes its panel).
class ModuleLockHolder {
public:
    ModuleLockHolder() noexcept { LockModule(); }
    ~ModuleLockHolder() { UnlockModule(); }
    ModuleLockHolder(const ModuleLockHolder&) = delete;
    ModuleLockHolder& operator=(const ModuleLockHolder&) = delete;
};

}  // namespace tly::com
