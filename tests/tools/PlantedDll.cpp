// A DLL put beside a program under a system DLL's name (winhttp.dll,
// crypt32.dll), as someone who may write in the program's folder would: it
// only records that it was loaded, in "<its own path>.loaded". It exports
// one function of each DLL it stands for, so a program importing that
// function the ordinary way loads it (PlantedDllImporter.cpp).

#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    char path[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameA(instance, path, MAX_PATH - 8);
    if (length == 0 || length >= MAX_PATH - 8) return TRUE;
    lstrcatA(path, ".loaded");
    const HANDLE marker = ::CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (marker != INVALID_HANDLE_VALUE) ::CloseHandle(marker);
    return TRUE;
}

extern "C" BOOL WINAPI PlantedWinHttpCheckPlatform() { return FALSE; }
extern "C" BOOL WINAPI PlantedCryptStringToBinaryA(LPCSTR, DWORD, DWORD, BYTE*, DWORD*, DWORD*, DWORD*) {
    return FALSE;
}
