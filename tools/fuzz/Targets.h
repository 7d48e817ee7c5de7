#pragma once
// The parser entry points the sweep feeds, each with its sample documents and
// its checks: which failures are its documented failure path, and which ids
// and values must come out exactly as the input sent them.

#include "tools/fuzz/Mutator.h"

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace fuzz {

struct Findings {
    std::size_t inputs = 0;
    std::size_t accepted = 0;  // read without a failure
    std::vector<std::string> escaped;  // an exception outside the failure path
    std::vector<std::string> changed;  // an id or value not as sent
};

struct Target {
    std::string name;
    std::function<std::string(Mutator&)> nextInput;
    // Runs one input; returns true when the entry point accepted it.
    std::function<bool(const std::string& input, Findings& findings)> run;
};

// workDirectory: a scratch directory for the file-based entry points; it
// also stands in for the module's directory.
std::vector<Target> AllTargets(const std::string& workDirectory);

}  // namespace fuzz
