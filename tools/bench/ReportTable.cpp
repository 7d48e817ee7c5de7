#include "tools/bench/ReportTable.h"

#include <algorithm>
#include <cstdio>

namespace bench {
namespace {

const char* const kHeadings[] = {"Measure", "Floor (min / median)", "DLL (min / median)", "Ratio (medians)"};

std::vector<std::string> Cells(const ReportRow& row) { return {row.measure, row.floor, row.dll, row.ratio}; }

// Width on a terminal: UTF-8 continuation bytes take no column.
size_t Columns(const std::string& text) {
    return static_cast<size_t>(std::count_if(text.begin(), text.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

}  // namespace

std::string ReportTable::Text() const {
    std::vector<std::vector<std::string>> lines{{kHeadings[0], kHeadings[1], kHeadings[2], kHeadings[3]}};
    for (const ReportRow& row : rows_) lines.push_back(Cells(row));
    std::vector<size_t> widths(4, 0);
    for (const auto& line : lines) {
        for (size_t i = 0; i < 4; ++i) widths[i] = std::max(widths[i], Columns(line[i]));
    }
    std::string text;
    for (const auto& line : lines) {
        for (size_t i = 0; i < 4; ++i) {
            text += line[i];
            if (i < 3) text += std::string(widths[i] - Columns(line[i]) + 2, ' ');
        }
        text += "\n";
    }
    return text;
}

std::string ReportTable::Markdown() const {
    const auto line = [](const std::vector<std::string>& cells) {
        std::string text = "|";
        for (const std::string& cell : cells) {
            text += ' ';
            text += cell;
            text += " |";
        }
        return text + "\n";
    };
    std::string text = line({kHeadings[0], kHeadings[1], kHeadings[2], kHeadings[3]});
    text += "|---|---|---|---|\n";
    for (const ReportRow& row : rows_) text += line(Cells(row));
    return text;
}

std::string Fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string MinMedian(const Samples& samples, const char* unit, int decimals) {
    if (samples.Empty()) return "—";
    return Fixed(samples.Min(), decimals) + " / " + Fixed(samples.Median(), decimals) + " " + unit;
}

std::string Difference(double value, double reference, const char* unit, int decimals) {
    const double difference = value - reference;
    const std::string suffix = *unit ? std::string(" ") + unit : std::string();
    return (difference >= 0 ? "+" : "") + Fixed(difference, decimals) + suffix;
}

std::string Ratio(double dll, double floor) {
    if (floor <= 0) return "—";
    return Fixed(dll / floor, 2) + "x";
}

}  // namespace bench
