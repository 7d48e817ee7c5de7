#pragma once
// Repeated measurements of one quantity and what the report says about them.

#include <algorithm>
#include <cmath>
#include <vector>

namespace bench {

class Samples {
public:
    Samples() = default;
    explicit Samples(std::vector<double> values) : values_(std::move(values)) {}

    void Add(double value) { values_.push_back(value); }
    bool Empty() const { return values_.empty(); }
    const std::vector<double>& Values() const { return values_; }

    double Min() const { return Empty() ? 0 : *std::min_element(values_.begin(), values_.end()); }
    double Median() const { return Percentile(50); }

    // Nearest-rank percentile, p in 0..100: the smallest sample that at least
    // p% of the samples do not exceed.
    double Percentile(double p) const {
        if (Empty()) return 0;
        std::vector<double> sorted = values_;
        std::sort(sorted.begin(), sorted.end());
        const auto rank = static_cast<size_t>(std::ceil(p / 100.0 * static_cast<double>(sorted.size())));
        return sorted[std::clamp<size_t>(rank, 1, sorted.size()) - 1];
    }

private:
    std::vector<double> values_;
};

}  // namespace bench
