#pragma once
// The COM module's lock count: one for every live object, every outside
// reference to a class factory and every IClassFactory::LockServer(TRUE).
// While it is above 0 the module must stay loaded.

namespace tly::com {

void LockModule() noexcept;
void UnlockModule() noexcept;
long ModuleLockCount() noexcept;

}  // namespace tly::com
