#pragma once
// One owner type for every Windows resource. A resource kind is described by a
// small traits struct (its type, its invalid value and how it is released); the
// aliases below name the kinds this system uses. Movable, never copyable.

#include <windows.h>
#include <oleauto.h>

#include <utility>

namespace tly {

template <typename Traits>
class UniqueResource {
public:
    using Type = typename Traits::Type;

    UniqueResource() noexcept = default;
    explicit UniqueResource(Type value) noexcept : value_(value) {}
    ~UniqueResource() { reset(); }

    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;

    UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }

    Type get() const noexcept { return value_; }
    bool valid() const noexcept { return value_ != Traits::Invalid(); }
    explicit operator bool() const noexcept { return valid(); }

    // Gives up ownership without releasing.
    Type release() noexcept { return std::exchange(value_, Traits::Invalid()); }

    // Releases the held resource and takes the new one. The thread's last-error
    // code survives, so a caller can reset a handle between a failed call and
    // the GetLastError that reports it.
    void reset(Type value = Traits::Invalid()) noexcept {
        Type old = std::exchange(value_, value);
        if (old != Traits::Invalid()) {
            const DWORD savedError = ::GetLastError();
            Traits::Close(old);
            ::SetLastError(savedError);
        }
    }

    // Releases what is held and returns the address to receive a new value
    // from an out-parameter API.
    Type* put() noexcept {
        reset();
        return &value_;
    }

private:
    Type value_ = Traits::Invalid();
};

struct KernelHandleTraits {
    using Type = HANDLE;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type h) noexcept { ::CloseHandle(h); }
};

// CreateFile and friends report failure with INVALID_HANDLE_VALUE, not null.
struct FileHandleTraits {
    using Type = HANDLE;
    static Type Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(Type h) noexcept { ::CloseHandle(h); }
};

struct FindChangeTraits {
    using Type = HANDLE;
    static Type Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(Type h) noexcept { ::FindCloseChangeNotification(h); }
};

struct FindFileTraits {
    using Type = HANDLE;
    static Type Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(Type h) noexcept { ::FindClose(h); }
};

struct LocalMemoryTraits {
    using Type = HLOCAL;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type h) noexcept { ::LocalFree(h); }
};

struct LibraryTraits {
    using Type = HMODULE;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type h) noexcept { ::FreeLibrary(h); }
};

struct RegistryKeyTraits {
    using Type = HKEY;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type h) noexcept { ::RegCloseKey(h); }
};

struct BstrTraits {
    using Type = BSTR;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type s) noexcept { ::SysFreeString(s); }
};

// A view of a file mapping (MapViewOfFile).
struct MappedViewTraits {
    using Type = void*;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type p) noexcept { ::UnmapViewOfFile(p); }
};

// An event source of the Event Log (RegisterEventSourceW).
struct EventSourceTraits {
    using Type = HANDLE;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type h) noexcept { ::DeregisterEventSource(h); }
};

// One reference to a COM interface; taking ownership does not add one.
template <typename Interface>
struct ComReferenceTraits {
    using Type = Interface*;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type p) noexcept { p->Release(); }
};

using UniqueHandle = UniqueResource<KernelHandleTraits>;          // events, threads, processes
using UniqueFileHandle = UniqueResource<FileHandleTraits>;        // files
using UniqueChangeNotification = UniqueResource<FindChangeTraits>;
using UniqueFindFile = UniqueResource<FindFileTraits>;              // FindFirstFile searches
using UniqueLocalMemory = UniqueResource<LocalMemoryTraits>;      // DPAPI output blobs
using UniqueLibrary = UniqueResource<LibraryTraits>;
using UniqueRegistryKey = UniqueResource<RegistryKeyTraits>;
using UniqueBstr = UniqueResource<BstrTraits>;
using UniqueMappedView = UniqueResource<MappedViewTraits>;
using UniqueEventSource = UniqueResource<EventSourceTraits>;
template <typename Interface>
using UniqueComPtr = UniqueResource<ComReferenceTraits<Interface>>;

// A new reference to an interface the caller already holds.
template <typename Interface>
UniqueComPtr<Interface> AddReference(Interface* p) noexcept {
    if (p) p->AddRef();
    return UniqueComPtr<Interface>(p);
}

}  // namespace tly
