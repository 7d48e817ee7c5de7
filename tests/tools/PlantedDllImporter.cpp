// Imports winhttp.dll and crypt32.dll the ordinary way, as a program that
// does nothing about where its DLLs come from: started beside planted DLLs of
// those names, it loads them. The fixture's proof that a planted DLL is seen.

#include <windows.h>
#include <wincrypt.h>
#include <winhttp.h>

int main() {
    DWORD size = 0;
    return ::WinHttpCheckPlatform() + ::CryptStringToBinaryA("", 0, CRYPT_STRING_BASE64, nullptr, &size, nullptr, nullptr);
}
