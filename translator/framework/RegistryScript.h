#pragma once
// Registration from a registry script, the text form COM servers have long
// kept as a resource:
//
//   HKCR
//   {
//       NoRemove CLSID
//       {
//           ForceRemove {GUID} = s 'Class name'
//           {
//               InprocServer32 = s '%MODULE%'
//               {
//                   val ThreadingModel = s 'Both'
//               }
//           }
//       }
//   }
//
// A key is created on registration and removed on unregistration, unless it is
// marked NoRemove (never removed) or ForceRemove (replaced whole on
// registration, removed whole on unregistration); a plain key is removed only
// when no subkeys are left in it, so keys other software added survive. Delete
// removes a key on registration. Values are strings (s 'text', '' for a quote)
// or numbers (d 123). %NAME% is replaced before parsing, %% gives one %.

#include <windows.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace tly::com {

enum class RegistryMode { Register, Unregister };

struct RegistryReplacement {
    std::string name;   // without the percent signs
    std::string value;  // UTF-8
};

// The key a root name of the script stands for (HKCR, HKEY_CLASSES_ROOT, HKCU,
// HKLM and their long forms); null for an unknown root.
using RegistryRootResolver = std::function<HKEY(std::string_view rootName)>;
HKEY StandardRegistryRoot(std::string_view rootName);

// S_OK, or the first failure: a script that does not parse gives
// HRESULT_FROM_WIN32(ERROR_BAD_FORMAT) before any key is touched; a failed
// registry call gives its error. Keys missing on unregistration are no failure.
HRESULT RunRegistryScript(std::string_view script, const std::vector<RegistryReplacement>& replacements,
                          RegistryMode mode, const RegistryRootResolver& resolveRoot = StandardRegistryRoot);

}  // namespace tly::com
