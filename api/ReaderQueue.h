#pragma once
// One panel's queued reader transitions: reader indices in the order first
// queued, each at most once. The set beside the order keeps "already queued?"
// a hash probe, so a reload that queues every reader of a large site stays
// linear in the number of readers.

#include <cstdint>
#include <unordered_set>
#include <vector>

class ReaderQueue {
public:
    // False when the reader is queued already.
    bool Add(std::int32_t reader) {
        if (members_.count(reader)) return false;
        order_.push_back(reader);
        try {
            members_.insert(reader);
        } catch (...) {
            order_.pop_back();  // queued in both or in neither
            throw;
        }
        return true;
    }
    void Clear() {
        order_.clear();
        members_.clear();
    }
    bool Empty() const { return order_.empty(); }
    const std::vector<std::int32_t>& Readers() const { return order_; }

private:
    std::vector<std::int32_t> order_;
    std::unordered_set<std::int32_t> members_;
};
