#pragma once
// A COM enumerator over a fixed list of items, taken when it is made, as the
// connection point container and its point hand them out: Next gives copies
// that carry references of their own, Skip and Reset move the position, and
// Clone shares the items and starts where the original stands. The items hold
// references for as long as any enumerator made from them lives; for
// connection points, which count on their container, that keeps the
// container alive too.

#include "platform/Mutex.h"
#include "translator/framework/ComMethod.h"
#include "translator/framework/ComObject.h"

#include <windows.h>
#include <ocidl.h>

#include <algorithm>
#include <cstddef>
#include <memory>
#include <span>
#include <vector>

namespace tly::com {

// How an enumerator takes and gives back references for one kind of item.
struct ConnectionPointItems {
    using Item = IConnectionPoint*;
    static void AddReference(Item item) noexcept { item->AddRef(); }
    static void Release(Item item) noexcept { item->Release(); }
};

struct ConnectionItems {
    using Item = CONNECTDATA;
    static void AddReference(const Item& item) noexcept {
        if (item.pUnk) item.pUnk->AddRef();
    }
    static void Release(const Item& item) noexcept {
        if (item.pUnk) item.pUnk->Release();
    }
};

template <typename EnumInterface, const IID* EnumIid, typename Items>
class ArrayEnumerator : public ComObjectRoot, public EnumInterface {
public:
    using Item = typename Items::Item;

private:
    // The items of an enumerator and its clones, with one reference each,
    // given back when the last of them goes.
    class Shared {
    public:
        explicit Shared(const std::vector<Item>& taken) : items(taken) {
            for (const Item& item : items) Items::AddReference(item);
        }
        ~Shared() {
            for (const Item& item : items) Items::Release(item);
        }
        Shared(const Shared&) = delete;
        Shared& operator=(const Shared&) = delete;

        const std::vector<Item> items;
    };

public:
    // Hands out a new enumerator over the items (each gets a reference of
    // the enumerator's own), positioned at the first.
    static HRESULT Create(const std::vector<Item>& items, EnumInterface** out) noexcept {
        return ComMethod([&] { return Create(std::make_shared<const Shared>(items), 0, out); });
    }

    ArrayEnumerator(std::shared_ptr<const Shared> items, std::size_t position)
        : items_(std::move(items)), position_(position) {}

    static std::span<const InterfaceEntry> InterfaceMap() {
        static const InterfaceEntry map[] = {{EnumIid, &CastTo<ArrayEnumerator, EnumInterface>}};
        return map;
    }

    STDMETHODIMP Next(ULONG count, Item* out, ULONG* fetched) override {
        if (fetched) *fetched = 0;
        if (!out || (count > 1 && !fetched)) return E_POINTER;
        tly::MutexLock guard(lock_);
        const std::vector<Item>& items = items_->items;
        const ULONG handed = static_cast<ULONG>(std::min<std::size_t>(count, items.size() - position_));
        for (ULONG i = 0; i < handed; ++i) {
            out[i] = items[position_ + i];
            Items::AddReference(out[i]);
        }
        position_ += handed;
        if (fetched) *fetched = handed;
        return handed == count ? S_OK : S_FALSE;
    }

    STDMETHODIMP Skip(ULONG count) override {
        if (count == 0) return E_INVALIDARG;
        tly::MutexLock guard(lock_);
        const std::size_t skipped = std::min<std::size_t>(count, items_->items.size() - position_);
        position_ += skipped;
        return skipped == count ? S_OK : S_FALSE;
    }

    STDMETHODIMP Reset() override {
        tly::MutexLock guard(lock_);
        position_ = 0;
        return S_OK;
    }

    STDMETHODIMP Clone(EnumInterface** clone) override {
        std::size_t position = 0;
        {
            tly::MutexLock guard(lock_);
            position = position_;
        }
        return ComMethod([&] { return Create(items_, position, clone); });
    }

private:
    static HRESULT Create(std::shared_ptr<const Shared> items, std::size_t position, EnumInterface** out) {
        if (!out) return E_POINTER;
        *out = nullptr;
        return HandOut(new (std::nothrow) ComObject<ArrayEnumerator>(std::move(items), position), *EnumIid,
                       reinterpret_cast<void**>(out));
    }

    const std::shared_ptr<const Shared> items_;
    tly::Mutex lock_;  // leaf
    std::size_t position_ TLY_GUARDED_BY(lock_);
};

using ConnectionPointEnumerator =
    ArrayEnumerator<IEnumConnectionPoints, &IID_IEnumConnectionPoints, ConnectionPointItems>;
using ConnectionEnumerator = ArrayEnumerator<IEnumConnections, &IID_IEnumConnections, ConnectionItems>;

}  // namespace tly::com
