#pragma once
// Whether two paths name the same file or folder as Windows sees them: each
// taken in its full long form ("C:\PROGRA~2\x.dll" and
// "c:\program files (x86)\x.dll" are one), "/" read as "\", trailing
// separators dropped, letters compared without case. A path that cannot be
// examined (it does not exist) is compared as written, made full.

#include <string>

namespace tly {

bool SamePath(const std::wstring& a, const std::wstring& b);
// The same for paths in the ANSI code page, as the "A" functions give them.
bool SamePath(const std::string& a, const std::string& b);

}  // namespace tly
