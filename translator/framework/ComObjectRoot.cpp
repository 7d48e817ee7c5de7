#include "translator/framework/ComObjectRoot.h"

namespace tly::com {

HRESULT QueryFromMap(void* object, std::span<const InterfaceEntry> map, REFIID iid, void** out) noexcept {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (map.empty()) return E_NOINTERFACE;
    for (const InterfaceEntry& entry : map) {
        if (IsEqualIID(iid, *entry.iid)) {
            IUnknown* found = entry.cast(object);
            found->AddRef();
            *out = found;
            return S_OK;
        }
    }
    if (IsEqualIID(iid, IID_IUnknown)) {
        IUnknown* identity = map.front().cast(object);
        identity->AddRef();
        *out = identity;
        return S_OK;
    }
    return E_NOINTERFACE;
}

}  // namespace tly::com
