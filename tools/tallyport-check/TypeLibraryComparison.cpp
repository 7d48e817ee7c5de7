#include "tools/tallyport-check/TypeLibraryComparison.h"

#include "platform/TextConversion.h"
#include "platform/UniqueResource.h"

#include <oaidl.h>
#include <oleauto.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>

namespace {

// A description borrowed from a type info, handed back to it on destruction.
template <typename Description, void (STDMETHODCALLTYPE ITypeInfo::*Release)(Description*)>
class TypeInfoDescription {
public:
    explicit TypeInfoDescription(ITypeInfo* info) : info_(info) {}
    ~TypeInfoDescription() {
        if (description_) (info_->*Release)(description_);
    }
    TypeInfoDescription(const TypeInfoDescription&) = delete;
    TypeInfoDescription& operator=(const TypeInfoDescription&) = delete;

    Description** put() { return &description_; }
    const Description* operator->() const { return description_; }
    explicit operator bool() const { return description_ != nullptr; }

private:
    ITypeInfo* info_;
    Description* description_ = nullptr;
};

using TypeAttr = TypeInfoDescription<TYPEATTR, &ITypeInfo::ReleaseTypeAttr>;
using FuncDesc = TypeInfoDescription<FUNCDESC, &ITypeInfo::ReleaseFuncDesc>;

constexpr unsigned kStackSlotBytes = 4;

unsigned RoundToStackSlots(unsigned bytes) { return (bytes + kStackSlotBytes - 1) / kStackSlotBytes * kStackSlotBytes; }

// Bytes an argument of this type takes on the 32-bit stack.
unsigned ArgumentBytes(ITypeInfo* info, const TYPEDESC& type, int depth = 0) {
    switch (type.vt) {
        case VT_I8:
        case VT_UI8:
        case VT_R8:
        case VT_CY:
        case VT_DATE:
        case VT_FILETIME:
            return 8;
        case VT_DECIMAL:
        case VT_VARIANT:
            return 16;
        case VT_VOID:
            return 0;
        case VT_USERDEFINED: {
            tly::UniqueComPtr<ITypeInfo> referenced;
            if (depth > 16 || FAILED(info->GetRefTypeInfo(type.hreftype, referenced.put()))) return kStackSlotBytes;
            TypeAttr attributes(referenced.get());
            if (FAILED(referenced.get()->GetTypeAttr(attributes.put()))) return kStackSlotBytes;
            switch (attributes->typekind) {
                case TKIND_ALIAS: return ArgumentBytes(referenced.get(), attributes->tdescAlias, depth + 1);
                case TKIND_RECORD:
                case TKIND_UNION: return RoundToStackSlots(attributes->cbSizeInstance);
                default: return kStackSlotBytes;  // enumerations; interfaces are passed by pointer
            }
        }
        default:
            return kStackSlotBytes;  // 32-bit integers, floats, pointers, strings, interface pointers
    }
}

std::string Name(ITypeInfo* info, MEMBERID member) {
    tly::UniqueBstr name;
    if (FAILED(info->GetDocumentation(member, name.put(), nullptr, nullptr, nullptr)) || !name) return "?";
    return tly::WideToUtf8(std::wstring(name.get(), ::SysStringLen(name.get())));
}

std::string IidText(const GUID& iid) {
    wchar_t text[40] = {};
    ::StringFromGUID2(iid, text, 40);
    return tly::WideToUtf8(text);
}

bool ReadShape(ITypeInfo* info, InterfaceShape& shape) {
    TypeAttr attributes(info);
    if (FAILED(info->GetTypeAttr(attributes.put()))) return false;
    for (UINT index = 0; index < attributes->cFuncs; ++index) {
        FuncDesc function(info);
        if (FAILED(info->GetFuncDesc(index, function.put()))) return false;
        MethodShape method;
        method.name = Name(info, function->memid);
        method.slot = function->oVft / static_cast<int>(sizeof(void*));
        method.callingConvention = function->callconv;
        method.argumentBytes = sizeof(void*);  // the interface pointer
        for (SHORT p = 0; p < function->cParams; ++p) {
            method.argumentBytes += RoundToStackSlots(ArgumentBytes(info, function->lprgelemdescParam[p].tdesc));
        }
        shape.methods.push_back(std::move(method));
    }
    std::sort(shape.methods.begin(), shape.methods.end(),
              [](const MethodShape& a, const MethodShape& b) { return a.slot < b.slot; });
    return true;
}

// The vtable half of a dual interface; null for a dispatch-only one.
tly::UniqueComPtr<ITypeInfo> VtableOfDual(ITypeInfo* dispatch) {
    tly::UniqueComPtr<ITypeInfo> vtable;
    HREFTYPE reference = 0;
    if (SUCCEEDED(dispatch->GetRefTypeOfImplType(static_cast<UINT>(-1), &reference))) {
        dispatch->GetRefTypeInfo(reference, vtable.put());
    }
    return vtable;
}

const MethodShape* AtSlot(const InterfaceShape& shape, int slot) {
    auto it = std::find_if(shape.methods.begin(), shape.methods.end(), [slot](const MethodShape& m) { return m.slot == slot; });
    return it == shape.methods.end() ? nullptr : &*it;
}

const char* ConventionName(int convention) {
    switch (convention) {
        case CC_STDCALL: return "stdcall";
        case CC_CDECL: return "cdecl";
        case CC_FASTCALL: return "fastcall";
        case CC_PASCAL: return "pascal";
        default: return "other";
    }
}

void CompareInterface(const InterfaceShape& ours, const InterfaceShape& host, std::vector<ShapeMismatch>& mismatches) {
    const std::string& name = ours.name;
    if (host.dispatchOnly) {
        mismatches.push_back({name, "", "kind", "vtable interface", "dispatch-only interface"});
        return;
    }
    if (ours.methods.size() != host.methods.size()) {
        mismatches.push_back({name, "", "methods", std::to_string(ours.methods.size()), std::to_string(host.methods.size())});
    }
    std::vector<int> slots;
    for (const MethodShape& m : ours.methods) slots.push_back(m.slot);
    for (const MethodShape& m : host.methods) slots.push_back(m.slot);
    std::sort(slots.begin(), slots.end());
    slots.erase(std::unique(slots.begin(), slots.end()), slots.end());

    for (int slot : slots) {
        const MethodShape* mine = AtSlot(ours, slot);
        const MethodShape* theirs = AtSlot(host, slot);
        if (!mine || !theirs || mine->name != theirs->name) {
            mismatches.push_back({name, mine ? mine->name : theirs->name, "slot " + std::to_string(slot),
                                  mine ? mine->name : "none", theirs ? theirs->name : "none"});
            continue;
        }
        if (mine->argumentBytes != theirs->argumentBytes) {
            mismatches.push_back({name, mine->name, "argument bytes", std::to_string(mine->argumentBytes),
                                  std::to_string(theirs->argumentBytes)});
        }
        if (mine->callingConvention != theirs->callingConvention) {
            mismatches.push_back({name, mine->name, "calling convention", ConventionName(mine->callingConvention),
                                  ConventionName(theirs->callingConvention)});
        }
    }
}

}  // namespace

bool ReadInterfaceShapes(const std::string& file, InterfaceShapes& shapes, std::string& error) {
    tly::UniqueComPtr<ITypeLib> library;
    const HRESULT loaded = ::LoadTypeLibEx(tly::Utf8ToWide(file).c_str(), REGKIND_NONE, library.put());
    if (FAILED(loaded)) {
        char code[16];
        std::snprintf(code, sizeof code, "0x%08lx", static_cast<unsigned long>(loaded));
        error = file + " holds no type library that can be read (" + code + ")";
        return false;
    }
    const UINT count = library.get()->GetTypeInfoCount();
    for (UINT index = 0; index < count; ++index) {
        TYPEKIND kind{};
        if (FAILED(library.get()->GetTypeInfoType(index, &kind)) || (kind != TKIND_INTERFACE && kind != TKIND_DISPATCH)) {
            continue;
        }
        tly::UniqueComPtr<ITypeInfo> info;
        if (FAILED(library.get()->GetTypeInfo(index, info.put()))) continue;
        TypeAttr attributes(info.get());
        if (FAILED(info.get()->GetTypeAttr(attributes.put()))) continue;

        InterfaceShape shape;
        shape.name = Name(info.get(), MEMBERID_NIL);
        if (kind == TKIND_DISPATCH) {
            const tly::UniqueComPtr<ITypeInfo> vtable =
                (attributes->wTypeFlags & TYPEFLAG_FDUAL) ? VtableOfDual(info.get()) : tly::UniqueComPtr<ITypeInfo>();
            shape.dispatchOnly = !vtable;
            if (vtable && !ReadShape(vtable.get(), shape)) {
                error = file + ": the methods of " + shape.name + " cannot be read";
                return false;
            }
        } else if (!ReadShape(info.get(), shape)) {
            error = file + ": the methods of " + shape.name + " cannot be read";
            return false;
        }
        shapes[IidText(attributes->guid)] = std::move(shape);
    }
    return true;
}

std::vector<ShapeMismatch> CompareInterfaceShapes(const InterfaceShapes& ours, const InterfaceShapes& host,
                                                  std::vector<std::string>& shared) {
    std::vector<ShapeMismatch> mismatches;
    for (const auto& [iid, theirs] : host) {
        const auto mine = ours.find(iid);
        if (mine == ours.end()) continue;
        shared.push_back(mine->second.name);
        CompareInterface(mine->second, theirs, mismatches);
    }
    return mismatches;
}

StepResult CheckHostTypeLibrary(const std::string& hostFile, const std::string& ownFile) {
    constexpr char kStep[] = "host_typelib";
    InterfaceShapes host;
    InterfaceShapes ours;
    std::string error;
    if (!ReadInterfaceShapes(hostFile, host, error)) {
        return StepResult::Failed(kStep, "typelib_unreadable", error,
                                  "name the host's .tlb file, or the host program or DLL that holds its type library");
    }
    if (!ReadInterfaceShapes(ownFile, ours, error)) {
        return StepResult::Failed(kStep, "own_typelib_unreadable", error,
                                  "run the check from the folder of TallyportAccessControlTranslator.dll");
    }

    std::vector<std::string> shared;
    const std::vector<ShapeMismatch> mismatches = CompareInterfaceShapes(ours, host, shared);
    StepResult result;
    if (shared.empty()) {
        result = StepResult::Failed(kStep, "no_shared_interfaces",
                                    "the host's type library declares none of the translator's interfaces",
                                    "put the host's interface identifiers into translator/idl/TallyportAccessControl.idl "
                                    "and rebuild");
    } else if (mismatches.empty()) {
        result = StepResult::Passed(kStep, Counted(shared.size(), "shared interface") +
                                               ": every method matches in slot, arguments and calling convention");
    } else {
        result = StepResult::Failed(
            kStep, "typelib_mismatch",
            Counted(mismatches.size(), "difference") + " in " + Counted(shared.size(), "shared interface"),
            "copy the host's declarations of these methods into translator/idl/TallyportAccessControl.idl, match the "
            "stubs in translator/UnsupportedHostMethods.h and translator/idl/DistributeEventSinkBase.h, and rebuild");
    }
    nlohmann::json differences = nlohmann::json::array();
    for (const ShapeMismatch& m : mismatches) {
        const std::string where = m.method.empty() ? m.interfaceName : m.interfaceName + "." + m.method;
        result.listing.push_back(where + ": " + m.aspect + ": ours " + m.ours + ", host's " + m.host);
        differences.push_back({{"interface", m.interfaceName},
                               {"method", m.method},
                               {"aspect", m.aspect},
                               {"ours", m.ours},
                               {"host", m.host}});
    }
    result.data = {{"host_file", hostFile}, {"own_file", ownFile}, {"shared", shared}, {"mismatches", differences}};
    return result;
}
