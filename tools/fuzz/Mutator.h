#pragma once
// Reproducible mutations of documents: structural ones on the JSON tree (type swaps,
// nulls, missing members, huge, negative and fractional numbers, deep nesting,
// huge strings, duplicate keys) and byte-level ones on the text (invalid
// UTF-8, truncation, bit flips, an empty body). The same run number gives the same
// sequence of inputs.

#include <nlohmann/json.hpp>

#include <cstdint>
#include <random>
#include <string>

namespace fuzz {

class Mutator {
public:
    explicit Mutator(std::uint32_t run) : rng_(run) {}

    // One input derived from a JSON sample: one to three mutations.
    std::string MutateJson(const nlohmann::json& sample);
    // One input derived from a text sample: byte-level mutations only.
    std::string MutateText(const std::string& sample);
    // One input derived from a binary file: words overwritten in place, or
    // now and then a byte-level mutation that changes its size.
    std::string MutateBinary(std::string bytes);
    // A number below bound, from the same sequence.
    std::size_t Below(std::size_t bound) {
        return bound ? std::uniform_int_distribution<std::size_t>(0, bound - 1)(rng_) : 0;
    }

private:
    bool Chance(int percent) { return Below(100) < static_cast<std::size_t>(percent); }

    void MutateTree(nlohmann::json& document);
    nlohmann::json* PickNode(nlohmann::json& document, nlohmann::json** parent, std::string* key);
    std::string ReplacementLiteral();
    std::string MutateBytes(std::string text);

    std::mt19937 rng_;
};

}  // namespace fuzz
