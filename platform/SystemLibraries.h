#pragma once
// System DLLs from the system folder only. A program folder or a host's
// working folder may hold a file named like a system DLL; Windows looks
// there first for a DLL that is not one of its "known DLLs" (version,
// winhttp, crypt32 are not), and such a file would run with the rights of
// whoever started the program. The DLLs this system imports beyond the known
// ones are delay-loaded (see cmake/DelayImports.cmake) and come through here.

namespace tly {

// For a program's first act: from now on the process looks for DLLs in the
// system folder only (SetDefaultDllDirectories), also for the DLLs those DLLs
// import. False where Windows lacks the call (Windows 7 without KB2533623);
// the delay-loaded imports are protected all the same.
bool RestrictDllSearchToSystemFolder() noexcept;

// This module's delay-loaded imports load from the system folder, and so do
// the DLLs they import, whatever the process's own search order is. Set in
// the module's start-up, before anything calls a delay-loaded function.
void LoadDelayedImportsFromSystemFolder() noexcept;

}  // namespace tly
