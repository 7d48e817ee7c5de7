// The shipped DLL's size, and the debug file that sits beside it.

#include "tools/bench/Sections.h"

#include <windows.h>

namespace bench {
namespace {

constexpr double kBytesPerMiB = 1048576.0;

double FileMiB(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return -1;
    return static_cast<double>((static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow) /
           kBytesPerMiB;
}

}  // namespace

void MeasureDllSize(BenchRun& run, ReportTable& table) {
    const double dll = FileMiB(run.Options().dllPath);
    const double debug = FileMiB(run.Options().dllPath + ".debug");
    std::string text = Fixed(dll, 2) + " MiB";
    text += debug >= 0 ? "; debug file " + Fixed(debug, 1) + " MiB beside it" : "; no debug file beside it";
    table.Add({"DLL size", "—", text, "limit 2 MiB"});
}

}  // namespace bench
