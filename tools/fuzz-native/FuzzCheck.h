#pragma once
// What every native fuzz target shares: a broken rule stops the run with the
// rule in words, and libFuzzer keeps the input that broke it.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace fuzz_native {

[[noreturn]] inline void Broken(const std::string& rule, std::string_view input) {
    std::fprintf(stderr, "\nBROKEN RULE: %s\ninput (%zu bytes): %.*s\n", rule.c_str(), input.size(),
                 static_cast<int>(input.size() > 400 ? 400 : input.size()), input.data());
    std::abort();
}

inline void Check(bool holds, const std::string& rule, std::string_view input) {
    if (!holds) Broken(rule, input);
}

inline std::string_view AsText(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

}  // namespace fuzz_native
