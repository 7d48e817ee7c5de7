#pragma once
// The bench's table: one row per measure, the floor client beside the DLL.

#include "tools/bench/Samples.h"

#include <string>
#include <vector>

namespace bench {

struct ReportRow {
    std::string measure;
    std::string floor;  // "—" where the floor has no counterpart
    std::string dll;
    std::string ratio;
};

class ReportTable {
public:
    void Add(ReportRow row) { rows_.push_back(std::move(row)); }
    // Aligned columns for a terminal.
    std::string Text() const;
    // A Markdown table, as BENCHMARKS.md shows it.
    std::string Markdown() const;

private:
    std::vector<ReportRow> rows_;
};

// "12.3 / 14.0 ms": the smallest and the median sample.
std::string MinMedian(const Samples& samples, const char* unit, int decimals = 1);
// A number with a fixed count of decimals.
std::string Fixed(double value, int decimals);
// "1.13x": the DLL's value over the floor's.
std::string Ratio(double dll, double floor);
// "+4.00 ms" or "-0.13 ms": the first value less the second (unit may be "").
std::string Difference(double value, double reference, const char* unit, int decimals);

}  // namespace bench
