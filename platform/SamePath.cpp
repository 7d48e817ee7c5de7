#include "platform/SamePath.h"

#include <windows.h>

namespace tly {
namespace {

// Calls a path function of the GetFullPathNameW kind with a buffer that grows
// to the length it asks for; the path unchanged when the call fails.
template <typename Call>
std::wstring Transformed(const std::wstring& path, Call call) {
    std::wstring buffer(MAX_PATH, L'\0');
    DWORD length = call(path.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length >= buffer.size()) {
        buffer.resize(length);
        length = call(path.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
    }
    if (length == 0 || length >= buffer.size()) return path;
    buffer.resize(length);
    return buffer;
}

std::wstring Canonical(const std::wstring& path) {
    std::wstring result = Transformed(path, [](const wchar_t* in, wchar_t* out, DWORD size) {
        return ::GetFullPathNameW(in, size, out, nullptr);
    });
    result = Transformed(result, [](const wchar_t* in, wchar_t* out, DWORD size) {
        return ::GetLongPathNameW(in, out, size);
    });
    for (wchar_t& c : result) {
        if (c == L'/') c = L'\\';
    }
    while (result.size() > 1 && result.back() == L'\\' && result[result.size() - 2] != L':') result.pop_back();
    return result;
}

std::wstring FromAnsi(const std::string& text) {
    if (text.empty()) return {};
    const int length = ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length > 0 ? length : 0), L'\0');
    if (length > 0) ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
    return wide;
}

}  // namespace

bool SamePath(const std::wstring& a, const std::wstring& b) {
    const std::wstring x = Canonical(a), y = Canonical(b);
    return ::CompareStringOrdinal(x.c_str(), static_cast<int>(x.size()), y.c_str(), static_cast<int>(y.size()), TRUE) ==
           CSTR_EQUAL;
}

bool SamePath(const std::string& a, const std::string& b) { return SamePath(FromAnsi(a), FromAnsi(b)); }

}  // namespace tly
