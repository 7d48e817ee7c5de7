#include "tools/tallyport-check/RegistrationCheck.h"

#include "TallyportAccessControl.h"
#include "TallyportVersion.h"
#include "platform/SamePath.h"
#include "platform/TextConversion.h"
#include "platform/UniqueResource.h"

#include <objbase.h>
#include <windows.h>

#include <cwchar>
#include <optional>
#include <vector>

namespace {

constexpr char kStep[] = "registration";
// What the DLL's registry script writes; the host creates the class by the
// version-independent ProgID.
constexpr wchar_t kProgId[] = L"TallyportAccessControlTranslator.AccessControlTrans";
constexpr wchar_t kVersionedProgId[] = L"TallyportAccessControlTranslator.AccessControlTrans.1";
constexpr wchar_t kThreadingModel[] = L"Both";
constexpr char kInstallHint[] = "run install.cmd in this folder as administrator, or install the MSI package";

std::wstring GuidText(const GUID& guid) {
    wchar_t text[40] = {};
    ::StringFromGUID2(guid, text, 40);
    return text;
}

// A string value under HKEY_CLASSES_ROOT; empty name: the key's default value.
std::optional<std::wstring> ClassesValue(const std::wstring& key, const wchar_t* name = nullptr) {
    DWORD bytes = 0;
    if (::RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), name, RRF_RT_REG_SZ, nullptr, nullptr,
                       &bytes) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    std::wstring value(bytes / sizeof(wchar_t) + 1, L'\0');
    bytes = static_cast<DWORD>(value.size() * sizeof(wchar_t));
    if (::RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), name, RRF_RT_REG_SZ, nullptr,
                       value.data(), &bytes) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    value.resize(wcsnlen(value.c_str(), value.size()));
    return value;
}

std::vector<std::wstring> SubkeyNames(const std::wstring& key) {
    HKEY opened = nullptr;
    if (::RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &opened) != ERROR_SUCCESS) return {};
    const tly::UniqueRegistryKey owned(opened);
    std::vector<std::wstring> names;
    for (DWORD index = 0;; ++index) {
        wchar_t name[256];
        DWORD length = 256;
        if (::RegEnumKeyExW(owned.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
            break;
        }
        names.emplace_back(name, length);
    }
    return names;
}

std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? path : path.substr(0, slash);
}

// The win32 path registered for the type library under any of its versions.
std::optional<std::wstring> TypeLibraryPath(const std::wstring& libraryId) {
    const std::wstring key = L"TypeLib\\" + libraryId;
    for (const std::wstring& version : SubkeyNames(key)) {
        if (auto path = ClassesValue(key + L"\\" + version + L"\\0\\win32")) return path;
    }
    return std::nullopt;
}

// How the registration would come to this folder: install.cmd, unless the
// MSI package of another folder is installed (it owns the registration, and
// install.cmd refuses).
std::string MoveHint(const std::string& dll) {
    const std::string productCode = InstalledProductValue("ProductCode");
    const std::string packageFolder = InstalledProductValue("InstallFolder");
    if (productCode.empty() || tly::SamePath(tly::Utf8ToWide(packageFolder), tly::Utf8ToWide(FolderOf(dll)))) {
        return "or run install.cmd here to move the registration to this folder";
    }
    return "the MSI package installed in " + packageFolder + " owns the registration: to use this folder instead, "
           "uninstall it first (msiexec /x " + productCode + "), then run install.cmd here";
}

}  // namespace

std::string InstalledProductValue(const char* name) {
    HKEY opened = nullptr;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, TLY_PRODUCT_REGISTRY_KEY, 0, KEY_QUERY_VALUE | KEY_WOW64_32KEY, &opened) !=
        ERROR_SUCCESS) {
        return {};
    }
    const tly::UniqueRegistryKey product(opened);
    wchar_t value[1024] = {};
    DWORD bytes = sizeof value;
    if (::RegGetValueW(product.get(), nullptr, tly::Utf8ToWide(name).c_str(), RRF_RT_REG_SZ, nullptr, value, &bytes) !=
        ERROR_SUCCESS) {
        return {};
    }
    return tly::WideToUtf8(std::wstring(value, wcsnlen(value, sizeof value / sizeof value[0])));
}

std::string MsiRepairCommand() {
    return "msiexec /i TallyportAccessControlTranslator-" TLY_VERSION_TEXT ".msi REINSTALL=ALL REINSTALLMODE=amus";
}

std::string FileVersion(const std::string& path) {
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeA(path.c_str(), &ignored);
    if (size == 0) return {};
    std::vector<char> block(size);
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (!::GetFileVersionInfoA(path.c_str(), 0, size, block.data()) ||
        !::VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&fixed), &length) || !fixed) {
        return {};
    }
    return std::to_string(HIWORD(fixed->dwFileVersionMS)) + "." + std::to_string(LOWORD(fixed->dwFileVersionMS)) + "." +
           std::to_string(HIWORD(fixed->dwFileVersionLS));
}

StepResult CheckRegistration(const std::string& dll) {
    const std::wstring classId = GuidText(CLSID_AccessControlTrans);
    const std::wstring classKey = L"CLSID\\" + classId;
    const std::string progId = tly::WideToUtf8(kProgId);
    nlohmann::json data = {{"prog_id", progId}, {"clsid", tly::WideToUtf8(classId)}};
    auto failed = [&](const char* reason, const std::string& detail, const std::string& hint) {
        StepResult result = StepResult::Failed(kStep, reason, detail, hint);
        result.data = data;
        return result;
    };

    const auto progIdClass = ClassesValue(std::wstring(kProgId) + L"\\CLSID");
    const auto serverPath = ClassesValue(classKey + L"\\InprocServer32");
    if (!progIdClass && !serverPath) {
        return failed("not_registered", "the class is not registered: the host cannot create " + progId, kInstallHint);
    }
    if (!progIdClass || ::CompareStringOrdinal(progIdClass->c_str(), -1, classId.c_str(), -1, TRUE) != CSTR_EQUAL) {
        return failed("progid_not_registered",
                      progId + (progIdClass ? " names another class, " + tly::WideToUtf8(*progIdClass)
                                            : std::string(" is not registered")),
                      kInstallHint);
    }
    if (ClassesValue(std::wstring(kProgId) + L"\\CurVer").value_or(L"") != kVersionedProgId ||
        ClassesValue(std::wstring(kVersionedProgId) + L"\\CLSID").value_or(L"") != classId) {
        return failed("progid_not_registered",
                      tly::WideToUtf8(kVersionedProgId) + " is not registered as the current version of " + progId,
                      kInstallHint);
    }
    if (!serverPath || serverPath->empty()) {
        return failed("not_registered", "class " + tly::WideToUtf8(classId) + " has no InprocServer32 path",
                      kInstallHint);
    }
    const std::string registered = tly::WideToUtf8(*serverPath);
    data["inproc_server"] = registered;
    const std::string registeredVersion = FileVersion(registered);
    data["registered_version"] = registeredVersion;
    if (!tly::SamePath(*serverPath, tly::Utf8ToWide(dll))) {
        const std::string folder = FolderOf(registered);
        data["registered_folder"] = folder;
        return failed("registered_elsewhere",
                      "the host loads " + registered +
                          (registeredVersion.empty() ? " (missing)" : " " + registeredVersion) +
                          ", not the DLL in this folder",
                      "the registered folder is " + folder + ": run the check there, whose settings and log apply; " +
                          MoveHint(dll));
    }
    // The registration names this folder's DLL, but the host can load only a file that is there.
    if (::GetFileAttributesW(serverPath->c_str()) == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = ::GetLastError();
        return failed("dll_missing",
                      "the registered DLL " + registered + " does not exist (error=" + std::to_string(error) +
                          "): the host cannot create " + progId,
                      "put TallyportAccessControlTranslator.dll back into this folder: repair the MSI installation (" +
                          MsiRepairCommand() + "), or unpack the package here again and run install.cmd");
    }
    const std::wstring threading = ClassesValue(classKey + L"\\InprocServer32", L"ThreadingModel").value_or(L"");
    data["threading_model"] = tly::WideToUtf8(threading);
    if (::CompareStringOrdinal(threading.c_str(), -1, kThreadingModel, -1, TRUE) != CSTR_EQUAL) {
        return failed("threading_model_wrong",
                      "ThreadingModel is \"" + tly::WideToUtf8(threading) +
                          "\", not \"Both\": a host thread outside the creating apartment cannot call the translator",
                      kInstallHint);
    }
    const std::wstring libraryId = GuidText(LIBID_TALLYPORTACCESSCONTROLLib);
    const auto libraryPath =
        ClassesValue(classKey + L"\\TypeLib").value_or(L"") == libraryId ? TypeLibraryPath(libraryId) : std::nullopt;
    if (!libraryPath || !tly::SamePath(*libraryPath, *serverPath)) {
        return failed("typelib_not_registered",
                      "the type library " + tly::WideToUtf8(libraryId) + " is not registered from this DLL" +
                          (libraryPath ? " but from " + tly::WideToUtf8(*libraryPath) : std::string()),
                      kInstallHint);
    }
    data["typelib"] = tly::WideToUtf8(*libraryPath);
    StepResult result = StepResult::Passed(
        kStep, progId + " -> " + registered + (registeredVersion.empty() ? " (no version resource)" : " " + registeredVersion) +
                   ", threading model Both, type library registered");
    result.data = data;
    return result;
}
