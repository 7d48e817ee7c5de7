#include "tools/tallyport-check/ComObjectCheck.h"

#include "TallyportAccessControl.h"
#include "platform/ComApartment.h"
#include "platform/TextConversion.h"
#include "platform/UniqueResource.h"

#include <ocidl.h>
#include <windows.h>

#include <cstdio>
#include <vector>

namespace {

constexpr char kStep[] = "com_object";
constexpr wchar_t kProgId[] = L"TallyportAccessControlTranslator.AccessControlTrans";
constexpr char kReinstallHint[] =
    "put an intact TallyportAccessControlTranslator.dll of this package back (repair the MSI installation, or "
    "unpack the package again and run install.cmd)";

struct HostInterface {
    const char* name;
    const IID* iid;
};

// What the host asks the translator for, besides the connection point.
const HostInterface kHostInterfaces[] = {
    {"ITranslate", &IID_ITranslate}, {"ITranslate4", &IID_ITranslate4}, {"IOutput", &IID_IOutput},
    {"IInput", &IID_IInput},         {"IAccessControl", &IID_IAccessControl}, {"IComConfig", &IID_IComConfig},
};

std::string HresultText(HRESULT result) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(result));
    return text;
}

}  // namespace

StepResult CheckComObject(const std::string& registeredDll) {
    const std::string progId = tly::WideToUtf8(kProgId);
    nlohmann::json data = {{"prog_id", progId}, {"dll", registeredDll}};
    auto failed = [&](const char* reason, const std::string& detail, const std::string& hint) {
        StepResult result = StepResult::Failed(kStep, reason, detail, hint);
        result.data = data;
        return result;
    };

    // Everything COM hands out is released before the apartment ends.
    const tly::ComApartment apartment(COINIT_APARTMENTTHREADED);
    if (FAILED(apartment.Result())) {
        return failed("class_not_created", "no COM apartment (hr=" + HresultText(apartment.Result()) + ")", "");
    }
    CLSID classId{};
    if (const HRESULT found = ::CLSIDFromProgID(kProgId, &classId); FAILED(found)) {
        return failed("class_not_created", progId + " names no class (hr=" + HresultText(found) + ")",
                      "run install.cmd in this folder as administrator, or install the MSI package");
    }
    const std::wstring dll = tly::Utf8ToWide(registeredDll);
    if (::GetFileAttributesW(dll.c_str()) == INVALID_FILE_ATTRIBUTES) {
        return failed("dll_missing", registeredDll + " does not exist (error=" + std::to_string(::GetLastError()) + ")",
                      kReinstallHint);
    }

    tly::UniqueComPtr<IUnknown> object;
    const HRESULT created = ::CoCreateInstance(classId, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                               reinterpret_cast<void**>(object.put()));
    data["hresult"] = HresultText(created);
    if (FAILED(created)) {
        // Whether the file loads at all tells a damaged or foreign DLL from a
        // class the DLL does not make.
        const tly::UniqueLibrary loaded(::LoadLibraryExW(dll.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
        if (!loaded) {
            const DWORD error = ::GetLastError();
            data["win32_error"] = error;
            return failed("dll_load_failed",
                          registeredDll + " cannot be loaded into a 32-bit process (error=" + std::to_string(error) +
                              ", hr=" + HresultText(created) + ")",
                          kReinstallHint);
        }
        return failed("class_not_created",
                      registeredDll + " loads, but " + progId + " cannot be created from it (hr=" +
                          HresultText(created) + ")",
                      kReinstallHint);
    }

    std::vector<std::string> missing;
    for (const HostInterface& wanted : kHostInterfaces) {
        tly::UniqueComPtr<IUnknown> answer;
        if (FAILED(object.get()->QueryInterface(*wanted.iid, reinterpret_cast<void**>(answer.put())))) {
            missing.emplace_back(wanted.name);
        }
    }
    tly::UniqueComPtr<IConnectionPointContainer> container;
    tly::UniqueComPtr<IConnectionPoint> point;
    if (FAILED(object.get()->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(container.put())))) {
        missing.emplace_back("IConnectionPointContainer");
    } else if (FAILED(container.get()->FindConnectionPoint(IID_IDistributeEvent, point.put()))) {
        missing.emplace_back("the IDistributeEvent connection point");
    }
    data["missing"] = missing;
    if (!missing.empty()) {
        std::string names;
        for (const std::string& name : missing) names += (names.empty() ? "" : ", ") + name;
        return failed("interface_missing",
                      "the object was created, but does not answer for " + names +
                          ": the host cannot use it (another build of the DLL than the host's)",
                      "install the translator that matches this host's interfaces; --host-typelib compares them");
    }
    StepResult result = StepResult::Passed(kStep, "created " + progId + " in this 32-bit process; it answers for "
                                                  "ITranslate, ITranslate4, IOutput, IInput, IAccessControl, "
                                                  "IComConfig and the IDistributeEvent connection point");
    result.data = data;
    return result;
}
