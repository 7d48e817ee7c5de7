// The registered COM server as a host meets it: created by ProgID, plain and
// aggregated, advised, driven through its lifecycle, and unloadable only when
// nothing holds it. The com.register test registered a copy of the DLL in
// TLY_COM_DIR before these run.

#include "TallyportAccessControl.h"
#include "platform/UniqueResource.h"
#include "translator/idl/DistributeEventSinkBase.h"

#include <gtest/gtest.h>
#include <objbase.h>
#include <olectl.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using tly::UniqueComPtr;

const wchar_t kProgId[] = L"TallyportAccessControlTranslator.AccessControlTrans";
const wchar_t kDllName[] = L"TallyportAccessControlTranslator.dll";

class Apartment {
public:
    Apartment() { EXPECT_EQ(::CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK); }
    ~Apartment() { ::CoUninitialize(); }
};

CLSID ClassId() {
    CLSID clsid{};
    EXPECT_EQ(::CLSIDFromProgID(kProgId, &clsid), S_OK);
    return clsid;
}

UniqueComPtr<ITranslate> CreateTranslator() {
    UniqueComPtr<ITranslate> translator;
    EXPECT_EQ(::CoCreateInstance(ClassId(), nullptr, CLSCTX_INPROC_SERVER, IID_ITranslate,
                                 reinterpret_cast<void**>(translator.put())),
              S_OK);
    return translator;
}

// The loaded server's DllCanUnloadNow.
HRESULT CanUnloadNow() {
    HMODULE module = ::GetModuleHandleW(kDllName);
    if (!module) return E_UNEXPECTED;
    using Entry = HRESULT(__stdcall*)();
    auto entry = reinterpret_cast<Entry>(reinterpret_cast<void*>(::GetProcAddress(module, "DllCanUnloadNow")));
    return entry ? entry() : E_UNEXPECTED;
}

class Outer final : public IUnknown {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (IsEqualIID(iid, IID_IUnknown)) {
            *out = static_cast<IUnknown*>(this);
            AddRef();
            return S_OK;
        }
        return inner ? inner->QueryInterface(iid, out) : E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++references; }
    STDMETHODIMP_(ULONG) Release() override { return --references; }

    std::atomic<ULONG> references{1};
    IUnknown* inner = nullptr;
};

class CountingSink final : public DistributeEventSinkBase {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDistributeEvent) ||
            IsEqualIID(iid, IID_IDistributeEvent2)) {
            *out = static_cast<IDistributeEvent2*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++references; }
    STDMETHODIMP_(ULONG) Release() override { return --references; }
    STDMETHODIMP DistributeEventEx(_ORSMESSAGEEX*, BSTR, LONG) override {
        ++events;
        return S_OK;
    }

    std::atomic<ULONG> references{1};
    std::atomic<int> events{0};
};

TEST(ComServer, ProgIdResolvesToTheRegisteredCopy) {
    Apartment apartment;
    CLSID versioned{};
    ASSERT_EQ(::CLSIDFromProgID((std::wstring(kProgId) + L".1").c_str(), &versioned), S_OK);
    EXPECT_TRUE(IsEqualCLSID(versioned, ClassId()));
    EXPECT_TRUE(IsEqualCLSID(ClassId(), CLSID_AccessControlTrans));

    auto translator = CreateTranslator();
    ASSERT_TRUE(translator);
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(::GetModuleHandleW(kDllName), path, MAX_PATH);
    const char* dir = std::getenv("TLY_COM_DIR");
    ASSERT_NE(dir, nullptr);
    std::wstring expected;
    for (const char* c = dir; *c; ++c) expected += *c == '/' ? L'\\' : static_cast<wchar_t>(*c);
    EXPECT_NE(std::wstring(path).find(expected.substr(1)), std::wstring::npos);
}

TEST(ComServer, CreatesPlainAndAggregatedObjects) {
    Apartment apartment;
    auto translator = CreateTranslator();
    ASSERT_TRUE(translator);
    ASSERT_EQ(translator.get()->Ors_SetPanelID(31), S_OK);
    int panel = 0;
    ASSERT_EQ(translator.get()->Ors_GetPanelID(&panel), S_OK);
    EXPECT_EQ(panel, 31);

    Outer outer;
    UniqueComPtr<IUnknown> refused;
    EXPECT_EQ(::CoCreateInstance(ClassId(), &outer, CLSCTX_INPROC_SERVER, IID_ITranslate,
                                 reinterpret_cast<void**>(refused.put())),
              CLASS_E_NOAGGREGATION);
    IUnknown* inner = nullptr;
    ASSERT_EQ(::CoCreateInstance(ClassId(), &outer, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                 reinterpret_cast<void**>(&inner)),
              S_OK);
    outer.inner = inner;
    UniqueComPtr<ITranslate4> status;
    ASSERT_EQ(outer.QueryInterface(IID_ITranslate4, reinterpret_cast<void**>(status.put())), S_OK);
    EXPECT_EQ(outer.references, 2u);
    status.reset();
    EXPECT_EQ(inner->Release(), 0u);
}

TEST(ComServer, CanUnloadOnlyWhenNothingHoldsIt) {
    Apartment apartment;
    UniqueComPtr<IClassFactory> factory;
    ASSERT_EQ(::CoGetClassObject(ClassId(), CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                                 reinterpret_cast<void**>(factory.put())),
              S_OK);
    EXPECT_EQ(CanUnloadNow(), S_FALSE);  // a client holds the factory
    UniqueComPtr<ITranslate> translator;
    ASSERT_EQ(factory.get()->CreateInstance(nullptr, IID_ITranslate, reinterpret_cast<void**>(translator.put())), S_OK);
    factory.get()->LockServer(TRUE);
    factory.reset();
    EXPECT_EQ(CanUnloadNow(), S_FALSE);
    translator.reset();
    EXPECT_EQ(CanUnloadNow(), S_FALSE);  // the server lock
    {
        UniqueComPtr<IClassFactory> again;
        ::CoGetClassObject(ClassId(), CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                           reinterpret_cast<void**>(again.put()));
        again.get()->LockServer(FALSE);
    }
    EXPECT_EQ(CanUnloadNow(), S_OK);

    ::CoFreeUnusedLibrariesEx(0, 0);
    EXPECT_EQ(::GetModuleHandleW(kDllName), nullptr);
}

TEST(ComServer, EntryPointsRefuseOtherClassesAndNullOutputs) {
    Apartment apartment;
    auto translator = CreateTranslator();  // loads the module
    HMODULE module = ::GetModuleHandleW(kDllName);
    ASSERT_NE(module, nullptr);
    using GetClassObject = HRESULT(__stdcall*)(REFCLSID, REFIID, void**);
    auto get = reinterpret_cast<GetClassObject>(reinterpret_cast<void*>(::GetProcAddress(module, "DllGetClassObject")));
    ASSERT_NE(get, nullptr);
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(get(IID_ITranslate, IID_IClassFactory, &out), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(get(CLSID_AccessControlTrans, IID_IClassFactory, nullptr), E_POINTER);
    EXPECT_EQ(get(CLSID_AccessControlTrans, IID_ITranslate, &out), E_NOINTERFACE);
}

TEST(ComServer, ResourcesNameTheServerAndDescribeItsClass) {
    wchar_t path[MAX_PATH] = {};
    {
        Apartment apartment;
        auto translator = CreateTranslator();
        HMODULE module = ::GetModuleHandleW(kDllName);
        ASSERT_NE(module, nullptr);
        ::GetModuleFileNameW(module, path, MAX_PATH);
        wchar_t name[64] = {};
        ASSERT_GT(::LoadStringW(module, 100, name, 64), 0);
        EXPECT_STREQ(name, L"TallyportAccessControlTranslator");
    }
    Apartment apartment;
    UniqueComPtr<ITypeLib> library;
    ASSERT_EQ(::LoadTypeLibEx(path, REGKIND_NONE, library.put()), S_OK);
    tly::UniqueBstr libraryName;
    library.get()->GetDocumentation(-1, libraryName.put(), nullptr, nullptr, nullptr);
    EXPECT_STREQ(libraryName.get(), L"TALLYPORTACCESSCONTROLLib");

    UniqueComPtr<ITypeInfo> coclass;
    ASSERT_EQ(library.get()->GetTypeInfoOfGuid(CLSID_AccessControlTrans, coclass.put()), S_OK);
    tly::UniqueBstr className;
    tly::UniqueBstr classText;
    coclass.get()->GetDocumentation(MEMBERID_NIL, className.put(), classText.put(), nullptr, nullptr);
    EXPECT_STREQ(className.get(), L"AccessControlTrans");
    EXPECT_STREQ(classText.get(), L"AccessControlTrans Class");

    // Its interfaces: ITranslate by default, IDistributeEvent the default source.
    TYPEATTR* attributes = nullptr;
    ASSERT_EQ(coclass.get()->GetTypeAttr(&attributes), S_OK);
    const WORD count = attributes->cImplTypes;
    coclass.get()->ReleaseTypeAttr(attributes);
    std::vector<std::pair<std::wstring, int>> implemented;
    for (UINT i = 0; i < count; ++i) {
        HREFTYPE reference = 0;
        INT flags = 0;
        UniqueComPtr<ITypeInfo> info;
        coclass.get()->GetRefTypeOfImplType(i, &reference);
        coclass.get()->GetImplTypeFlags(i, &flags);
        coclass.get()->GetRefTypeInfo(reference, info.put());
        tly::UniqueBstr name;
        info.get()->GetDocumentation(MEMBERID_NIL, name.put(), nullptr, nullptr, nullptr);
        implemented.emplace_back(name.get(), flags);
    }
    const std::vector<std::pair<std::wstring, int>> expected = {
        {L"ITranslate", IMPLTYPEFLAG_FDEFAULT},
        {L"ITranslate4", 0},
        {L"IOutput", 0},
        {L"IInput", 0},
        {L"IAccessControl", 0},
        {L"IComConfig", 0},
        {L"IDistributeEvent", IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE},
    };
    EXPECT_EQ(implemented, expected);
}

TEST(ComServer, HostLifecycleWithTheServerUnreachable) {
    Apartment apartment;
    auto translator = CreateTranslator();
    ASSERT_TRUE(translator);
    ITranslate* t = translator.get();
    UniqueComPtr<IConnectionPointContainer> container;
    UniqueComPtr<IConnectionPoint> point;
    ASSERT_EQ(t->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(container.put())), S_OK);
    ASSERT_EQ(container.get()->FindConnectionPoint(IID_IDistributeEvent, point.put()), S_OK);
    CountingSink sink;
    DWORD cookie = 0;
    ASSERT_EQ(point.get()->Advise(&sink, &cookie), S_OK);
    EXPECT_EQ(cookie, 1u);
    CountingSink second;
    DWORD refused = 5;
    EXPECT_EQ(point.get()->Advise(&second, &refused), CONNECT_E_ADVISELIMIT);
    EXPECT_EQ(refused, 0u);
    EXPECT_EQ(second.references, 1u);

    EXPECT_EQ(t->Ors_SetPanelID(41), S_OK);
    EXPECT_EQ(t->Ors_CreateCommunicationObject(), S_OK);
    EXPECT_EQ(t->Ors_InitCommunication(), S_OK);
    EXPECT_EQ(t->Ors_InitializePanel(), E_FAIL);
    EXPECT_EQ(t->Ors_PollPanelForEvents(), E_FAIL);
    UniqueComPtr<ITranslate4> t4;
    ASSERT_EQ(t->QueryInterface(IID_ITranslate4, reinterpret_cast<void**>(t4.put())), S_OK);
    std::vector<_SYSTEM_STATUS_ENTRY> entries(3);
    for (size_t i = 0; i < entries.size(); ++i) {
        entries[i].nDeviceId = static_cast<LONG>(i);
        entries[i].nStatus = 1;
    }
    _SYSTEM_STATUS3 status{};
    status.nEntries = 3;
    status.pEntries = entries.data();
    EXPECT_EQ(t4.get()->Ors_GetSystemStatus3(&status), S_OK);
    EXPECT_EQ(status.nPanelId, 41);
    for (const auto& e : entries) EXPECT_EQ(e.nStatus, 0);
    int state = -1;
    EXPECT_EQ(t->Ors_GetPanelState(&state), S_OK);
    EXPECT_EQ(state, 0);
    EXPECT_EQ(t->Ors_CloseCommunication(), S_FALSE);
    EXPECT_EQ(point.get()->Unadvise(cookie), S_OK);
    EXPECT_EQ(sink.references, 1u);
    EXPECT_EQ(sink.events, 0);

    EXPECT_EQ(CanUnloadNow(), S_FALSE);
    point.reset();
    container.reset();
    t4.reset();
    translator.reset();
    // The last panel closed with the last object, and the native layer's
    // threads with it: the module unloads without waiting on any of them.
    EXPECT_EQ(CanUnloadNow(), S_OK);
    ::CoFreeUnusedLibrariesEx(0, 0);
    EXPECT_EQ(::GetModuleHandleW(kDllName), nullptr);
}

}  // namespace
