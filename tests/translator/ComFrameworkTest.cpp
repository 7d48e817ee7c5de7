// The COM framework stand-in: the class factory's plain and aggregated
// objects, the module lock count that decides unloading, and the framework's
// direct-command queue.

#include "tests/translator/TranslatorTestSupport.h"
#include "translator/LocalNamedPipe.h"
#include "translator/framework/ModuleLock.h"

namespace tly::test {
namespace {

// An outer object that aggregates a translator, as a host wrapping it would.
class Outer final : public IUnknown {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        if (IsEqualIID(iid, IID_IUnknown)) {
            *out = static_cast<IUnknown*>(this);
            AddRef();
            return S_OK;
        }
        return inner ? inner->QueryInterface(iid, out) : E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++references; }
    STDMETHODIMP_(ULONG) Release() override { return --references; }  // lives on the test's stack

    ULONG references = 1;
    IUnknown* inner = nullptr;
};

class ComFrameworkTest : public TranslatorTest {
protected:
    UniqueComPtr<IClassFactory> factory{new com::ClassFactory<CAccessControlTrans>()};
};

TEST_F(ComFrameworkTest, AggregationHandsOutOnlyTheInnerUnknown) {
    Outer outer;
    UniqueComPtr<IUnknown> refused;
    EXPECT_EQ(factory.get()->CreateInstance(&outer, IID_ITranslate, reinterpret_cast<void**>(refused.put())),
              CLASS_E_NOAGGREGATION);
    EXPECT_EQ(refused.get(), nullptr);
    EXPECT_EQ(native.Count("Close 0"), 0);  // nothing was made

    IUnknown* inner = nullptr;
    ASSERT_EQ(factory.get()->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&inner)), S_OK);
    outer.inner = inner;

    // Interfaces of the inner object count on the outer one and answer as it.
    UniqueComPtr<ITranslate> translate;
    ASSERT_EQ(inner->QueryInterface(IID_ITranslate, reinterpret_cast<void**>(translate.put())), S_OK);
    EXPECT_EQ(outer.references, 2u);
    UniqueComPtr<IUnknown> identity;
    ASSERT_EQ(translate.get()->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(identity.put())), S_OK);
    EXPECT_EQ(identity.get(), static_cast<IUnknown*>(&outer));
    identity.reset();
    EXPECT_EQ(translate.get()->Ors_SetPanelID(21), S_OK);
    translate.reset();
    EXPECT_EQ(outer.references, 1u);

    EXPECT_EQ(inner->Release(), 0u);  // the inner count is its own
    EXPECT_EQ(native.Count("Close 21"), 1);
}

TEST_F(ComFrameworkTest, PlainCreationChecksItsArguments) {
    EXPECT_EQ(factory.get()->CreateInstance(nullptr, IID_ITranslate, nullptr), E_POINTER);
    UniqueComPtr<IUnknown> none;
    EXPECT_EQ(factory.get()->CreateInstance(nullptr, IID_IDistributeEvent, reinterpret_cast<void**>(none.put())),
              E_NOINTERFACE);
    EXPECT_EQ(native.Count("Close 0"), 1);  // made, refused, destroyed
    UniqueComPtr<IClassFactory> same;
    EXPECT_EQ(factory.get()->QueryInterface(IID_IClassFactory, reinterpret_cast<void**>(same.put())), S_OK);
    EXPECT_EQ(factory.get()->QueryInterface(IID_ITranslate, reinterpret_cast<void**>(none.put())), E_NOINTERFACE);
}

TEST_F(ComFrameworkTest, ModuleStaysLockedWhileObjectsFactoryReferencesOrServerLocksRemain) {
    EXPECT_EQ(com::ModuleLockCount(), 0);
    // A translator's destruction closes its panel, which may take a while:
    // the object's hold on the module goes only after it.
    std::vector<long> locksWhileClosing;
    native.duringClose = [&] { locksWhileClosing.push_back(com::ModuleLockCount()); };
    {
        UniqueComPtr<ITranslate> plain;
        factory.get()->CreateInstance(nullptr, IID_ITranslate, reinterpret_cast<void**>(plain.put()));
        EXPECT_EQ(com::ModuleLockCount(), 1);
        Outer outer;
        IUnknown* inner = nullptr;
        factory.get()->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&inner));
        EXPECT_EQ(com::ModuleLockCount(), 2);
        inner->Release();
    }
    EXPECT_EQ(locksWhileClosing, (std::vector<long>{2, 1}));
    EXPECT_EQ(com::ModuleLockCount(), 0);

    factory.get()->LockServer(TRUE);
    EXPECT_EQ(com::ModuleLockCount(), 1);
    factory.get()->LockServer(FALSE);
    EXPECT_EQ(com::ModuleLockCount(), 0);

    // The module's own reference to its factory does not lock; a client's does.
    UniqueComPtr<IClassFactory> client = AddReference(factory.get());
    EXPECT_EQ(com::ModuleLockCount(), 1);
    client.reset();
    EXPECT_EQ(com::ModuleLockCount(), 0);
}

TEST(LocalNamedPipe, QueuesCommandsInOrderAndSignalsWhileAnyWait) {
    CLocalNamedPipe pipe;
    ASSERT_TRUE(pipe.IsReady());
    EXPECT_EQ(::WaitForSingleObject(pipe.Signal(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_FALSE(pipe.Pop().has_value());
    pipe.Push({1, 2});
    pipe.Push({3});
    EXPECT_EQ(::WaitForSingleObject(pipe.Signal(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(pipe.Pop(), (CLocalNamedPipe::Command{1, 2}));
    EXPECT_EQ(::WaitForSingleObject(pipe.Signal(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(pipe.Pop(), (CLocalNamedPipe::Command{3}));
    EXPECT_EQ(::WaitForSingleObject(pipe.Signal(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(pipe.Size(), 0u);
}

}  // namespace
}  // namespace tly::test
