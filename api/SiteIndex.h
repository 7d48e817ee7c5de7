#pragma once
// Where each key occurs in a site list, in list order, so that lookups made
// inside loops over readers, doors or connected handhelds cost a hash probe
// rather than a scan of the list. Whoever adds records to the list or removes
// them marks the index stale; the next lookup rebuilds it from the whole list.
// Changing a record's other members in place needs nothing. Used under the
// list's own mutex, like the list.

#include <cstddef>
#include <unordered_map>
#include <vector>

template <typename Record, typename Key>
class SiteIndex {
public:
    using KeyOf = Key (*)(const Record&);

    explicit SiteIndex(KeyOf keyOf) : keyOf_(keyOf) {}

    void MarkStale() noexcept { stale_ = true; }

    // The first record with the key, or null.
    const Record* First(const std::vector<Record>& list, const Key& key) {
        Refresh(list);
        auto found = first_.find(key);
        return found == first_.end() ? nullptr : &list[found->second];
    }

    // Calls visit with every record that has the key, in list order.
    template <typename Visit>
    void ForEach(const std::vector<Record>& list, const Key& key, Visit visit) {
        Refresh(list);
        auto found = first_.find(key);
        if (found == first_.end()) return;
        for (std::size_t i = found->second; i != kNone; i = next_[i]) visit(list[i]);
    }

private:
    static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

    void Refresh(const std::vector<Record>& list) {
        // A list refilled to the same length is caught only by MarkStale;
        // a different length is caught here as well.
        if (!stale_ && next_.size() == list.size()) return;
        first_.clear();
        next_.assign(list.size(), kNone);
        first_.reserve(list.size());
        // From the back, so each key ends at its first position with the
        // later ones chained behind it in order.
        for (std::size_t i = list.size(); i-- > 0;) {
            auto [slot, added] = first_.try_emplace(keyOf_(list[i]), i);
            if (added) continue;
            next_[i] = slot->second;
            slot->second = i;
        }
        stale_ = false;
    }

    KeyOf keyOf_;
    bool stale_ = true;
    std::unordered_map<Key, std::size_t> first_;
    std::vector<std::size_t> next_;  // position of the next record with the same key
};
