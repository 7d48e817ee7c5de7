#include "translator/module/ComModule.h"

#include "TallyportAccessControl.h"
#include "platform/Mutex.h"
#include "platform/TextConversion.h"
#include "platform/UniqueResource.h"
#include "translator/AccessControlTrans.h"
#include "translator/framework/ClassFactory.h"
#include "translator/framework/ComMethod.h"
#include "translator/framework/ModuleLock.h"
#include "translator/framework/RegistryScript.h"

#include <string>
#include <string_view>
#include <vector>

namespace ComModule {
namespace {

tly::Mutex factoryLock;  // leaf

struct ObjectMapEntry {
    const CLSID* clsid;
    UINT registryScript;
    IClassFactory* (*newFactory)();
    IClassFactory* cachedFactory TLY_GUARDED_BY(factoryLock);  // the module's own reference, once made
};

template <typename T>
IClassFactory* NewFactory() {
    return new (std::nothrow) tly::com::ClassFactory<T>();
}

HINSTANCE moduleInstance = nullptr;
ObjectMapEntry objectMap[] = {
    {&CLSID_AccessControlTrans, kRegistryScriptResource, &NewFactory<CAccessControlTrans>, nullptr},
};

std::wstring ModulePath() {
    std::wstring path(MAX_PATH, L'\0');
    while (true) {
        const DWORD length = ::GetModuleFileNameW(moduleInstance, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) return {};
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

std::string GuidText(const GUID& guid) {
    wchar_t text[40] = {};
    ::StringFromGUID2(guid, text, 40);
    return tly::WideToUtf8(text);
}

std::string_view RegistryScript(UINT id) {
    HRSRC found = ::FindResourceW(moduleInstance, MAKEINTRESOURCEW(id), L"REGISTRY");
    if (!found) return {};
    HGLOBAL loaded = ::LoadResource(moduleInstance, found);
    const void* bytes = loaded ? ::LockResource(loaded) : nullptr;
    if (!bytes) return {};
    return {static_cast<const char*>(bytes), ::SizeofResource(moduleInstance, found)};
}

HRESULT RunScripts(tly::com::RegistryMode mode, const std::wstring& modulePath) {
    for (const ObjectMapEntry& entry : objectMap) {
        const std::string_view script = RegistryScript(entry.registryScript);
        if (script.empty()) return HRESULT_FROM_WIN32(ERROR_RESOURCE_DATA_NOT_FOUND);
        const std::vector<tly::com::RegistryReplacement> replacements = {
            {"MODULE", tly::WideToUtf8(modulePath)},
            {"CLSID", GuidText(*entry.clsid)},
            {"LIBID", GuidText(LIBID_TALLYPORTACCESSCONTROLLib)},
        };
        const HRESULT result = tly::com::RunRegistryScript(script, replacements, mode);
        if (FAILED(result)) return result;
    }
    return S_OK;
}

HRESULT LoadOwnTypeLibrary(const std::wstring& modulePath, tly::UniqueComPtr<ITypeLib>& library) {
    return ::LoadTypeLibEx(modulePath.c_str(), REGKIND_NONE, library.put());
}

}  // namespace

void Init(HINSTANCE instance) noexcept { moduleInstance = instance; }

void Term() noexcept {
    tly::MutexLock guard(factoryLock);
    for (ObjectMapEntry& entry : objectMap) {
        if (entry.cachedFactory) entry.cachedFactory->Release();
        entry.cachedFactory = nullptr;
    }
}

HRESULT GetClassObject(REFCLSID clsid, REFIID iid, void** out) noexcept {
    if (!out) return E_POINTER;
    *out = nullptr;
    for (ObjectMapEntry& entry : objectMap) {
        if (!IsEqualCLSID(clsid, *entry.clsid)) continue;
        tly::UniqueComPtr<IClassFactory> factory;
        {
            tly::MutexLock guard(factoryLock);
            if (!entry.cachedFactory) entry.cachedFactory = entry.newFactory();
            if (!entry.cachedFactory) return E_OUTOFMEMORY;
            factory = tly::AddReference(entry.cachedFactory);
        }
        return factory.get()->QueryInterface(iid, out);
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

// No object left means every panel was closed, and with the last panel the
// native layer stopped its own threads: the module can go.
bool CanUnloadNow() noexcept { return tly::com::ModuleLockCount() == 0; }

HRESULT RegisterServer() noexcept {
    return tly::com::ComMethod([]() -> HRESULT {
        const std::wstring modulePath = ModulePath();
        if (modulePath.empty()) return HRESULT_FROM_WIN32(::GetLastError());
        HRESULT result = RunScripts(tly::com::RegistryMode::Register, modulePath);
        if (FAILED(result)) return result;
        tly::UniqueComPtr<ITypeLib> library;
        result = LoadOwnTypeLibrary(modulePath, library);
        if (FAILED(result)) return result;
        std::wstring path = modulePath;
        return ::RegisterTypeLib(library.get(), path.data(), nullptr);
    });
}

HRESULT UnregisterServer() noexcept {
    return tly::com::ComMethod([]() -> HRESULT {
        const std::wstring modulePath = ModulePath();
        if (modulePath.empty()) return HRESULT_FROM_WIN32(::GetLastError());
        const HRESULT scripts = RunScripts(tly::com::RegistryMode::Unregister, modulePath);
        tly::UniqueComPtr<ITypeLib> library;
        HRESULT typeLibrary = LoadOwnTypeLibrary(modulePath, library);
        if (SUCCEEDED(typeLibrary)) {
            TLIBATTR* attributes = nullptr;
            typeLibrary = library.get()->GetLibAttr(&attributes);
            if (SUCCEEDED(typeLibrary)) {
                const TLIBATTR copy = *attributes;
                library.get()->ReleaseTLibAttr(attributes);
                typeLibrary = ::UnRegisterTypeLib(copy.guid, copy.wMajorVerNum, copy.wMinorVerNum, copy.lcid,
                                                  copy.syskind);
            }
        }
        return FAILED(scripts) ? scripts : typeLibrary;
    });
}

}  // namespace ComModule
