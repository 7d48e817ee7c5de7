// The native lane's Win32 calls besides files (win32/windows.h): UTF-8 to
// and from the platform's wide characters (one code point each, see
// windows.h), the clock, and this process's identity and module. Invalid
// text becomes U+FFFD, as the Windows conversions without flags do.

#include <windows.h>

#include <chrono>
#include <ctime>
#include <thread>

#include <unistd.h>

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// The code point at text[i], advancing i; an ill-formed sequence gives
// U+FFFD and advances one byte.
char32_t NextCodePoint(const unsigned char* text, int length, int& i) {
    const unsigned char lead = text[i];
    int extra = 0;
    char32_t point = 0;
    char32_t least = 0;
    if (lead < 0x80) {
        ++i;
        return lead;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        extra = 1, point = lead & 0x1F, least = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        extra = 2, point = lead & 0x0F, least = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        extra = 3, point = lead & 0x07, least = 0x10000;
    } else {
        ++i;
        return kReplacement;
    }
    if (i + extra >= length) {  // cut short
        ++i;
        return kReplacement;
    }
    for (int k = 1; k <= extra; ++k) {
        if ((text[i + k] & 0xC0) != 0x80) {
            ++i;
            return kReplacement;
        }
        point = (point << 6) | (text[i + k] & 0x3F);
    }
    if (point < least || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) {
        ++i;
        return kReplacement;
    }
    i += extra + 1;
    return point;
}

int Utf8Length(char32_t point) { return point < 0x80 ? 1 : point < 0x800 ? 2 : point < 0x10000 ? 3 : 4; }

void PutUtf8(char32_t point, char* out) {
    const int length = Utf8Length(point);
    if (length == 1) {
        out[0] = static_cast<char>(point);
        return;
    }
    static constexpr unsigned char kLead[] = {0, 0, 0xC0, 0xE0, 0xF0};
    for (int k = length - 1; k > 0; --k) {
        out[k] = static_cast<char>(0x80 | (point & 0x3F));
        point >>= 6;
    }
    out[0] = static_cast<char>(kLead[length] | point);
}

SYSTEMTIME FromCalendar(const std::tm& calendar, long nanoseconds) {
    SYSTEMTIME time{};
    time.wYear = static_cast<WORD>(calendar.tm_year + 1900);
    time.wMonth = static_cast<WORD>(calendar.tm_mon + 1);
    time.wDayOfWeek = static_cast<WORD>(calendar.tm_wday);
    time.wDay = static_cast<WORD>(calendar.tm_mday);
    time.wHour = static_cast<WORD>(calendar.tm_hour);
    time.wMinute = static_cast<WORD>(calendar.tm_min);
    time.wSecond = static_cast<WORD>(calendar.tm_sec);
    time.wMilliseconds = static_cast<WORD>(nanoseconds / 1000000);
    return time;
}

}  // namespace

// Without an output buffer (capacity 0), the length needed; 0 when the output
// does not fit.
int MultiByteToWideChar(UINT codePage, DWORD, LPCSTR text, int length, LPWSTR wide, int capacity) {
    if (codePage != CP_UTF8 || text == nullptr || length < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    int units = 0;
    for (int i = 0; i < length;) {
        const char32_t point = NextCodePoint(bytes, length, i);
        if (capacity > 0) {
            if (units == capacity) return 0;
            wide[units] = static_cast<WCHAR>(point);
        }
        ++units;
    }
    return units;
}

int WideCharToMultiByte(UINT codePage, DWORD, LPCWSTR wide, int length, LPSTR text, int capacity, LPCSTR, BOOL*) {
    if (codePage != CP_UTF8 || wide == nullptr || length < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    int bytes = 0;
    for (int i = 0; i < length; ++i) {
        char32_t point = static_cast<char32_t>(wide[i]);
        if (point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) point = kReplacement;
        const int needed = Utf8Length(point);
        if (capacity > 0) {
            if (bytes + needed > capacity) return 0;
            PutUtf8(point, text + bytes);
        }
        bytes += needed;
    }
    return bytes;
}

DWORD GetTickCount() {
    const auto since = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<DWORD>(std::chrono::duration_cast<std::chrono::milliseconds>(since).count());
}

BOOL QueryPerformanceCounter(LARGE_INTEGER* value) {
    value->QuadPart = std::chrono::steady_clock::now().time_since_epoch().count();
    return TRUE;
}

BOOL QueryPerformanceFrequency(LARGE_INTEGER* value) {
    value->QuadPart = std::chrono::steady_clock::period::den / std::chrono::steady_clock::period::num;
    return TRUE;
}

namespace {

// The wall clock now, broken into a calendar by localtime_r or gmtime_r.
SYSTEMTIME WallClockNow(std::tm* (*breakDown)(const std::time_t*, std::tm*)) {
    const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(sinceEpoch);
    const std::time_t whole = static_cast<std::time_t>(seconds.count());
    std::tm calendar{};
    breakDown(&whole, &calendar);
    return FromCalendar(calendar,
                        static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(sinceEpoch - seconds).count()));
}

}  // namespace

void GetLocalTime(SYSTEMTIME* time) { *time = WallClockNow(::localtime_r); }

void GetSystemTime(SYSTEMTIME* time) { *time = WallClockNow(::gmtime_r); }

void Sleep(DWORD milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

DWORD GetCurrentProcessId() { return static_cast<DWORD>(::getpid()); }
DWORD GetCurrentThreadId() { return static_cast<DWORD>(::gettid()); }

// No debugger listens here.
void OutputDebugStringA(LPCSTR) {}

// The test program is the module: its folder is the module's folder.
BOOL GetModuleHandleExA(DWORD, LPCSTR address, HMODULE* module) {
    *module = const_cast<char*>(address);
    return TRUE;
}

DWORD GetModuleFileNameA(HMODULE, LPSTR path, DWORD capacity) {
    const ssize_t length = ::readlink("/proc/self/exe", path, capacity);
    if (length <= 0) return 0;
    if (static_cast<DWORD>(length) >= capacity) {
        path[capacity - 1] = '\0';
        return capacity;  // cut short, as Windows reports it
    }
    path[length] = '\0';
    return static_cast<DWORD>(length);
}
