#include "tools/fuzz/Mutator.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace fuzz {
namespace {

// Values written into the text as they stand, so numbers beyond what the
// tree can hold reach the parser exactly.
const char* const kLiterals[] = {
    "null", "true", "false", "0", "-1", "1.5", "-0.5", "7.0", "1e3", "1e400", "-1e400",
    "2147483647", "2147483648", "-2147483648", "-2147483649", "4294967295", "4294967297",
    "9007199254740993", "9223372036854775807", "9223372036854775808", "-9223372036854775809",
    "18446744073709551615", "18446744073709551616", "123456789012345678901234567890",
    "5.0000000000000001", "4242.0000000000001", "9007199254740993.0", "1e-400", "700e-2", "-0", "0e99999",
    "\"\"", "\"7\"", "\"1:2\"", "\"abc\"", "\"\\u0000\"", "\"\\ud800\"", "[]", "{}", "[1,2]", "{\"a\":1}",
};

constexpr char kMarker[] = "@@fuzz-literal@@";

}  // namespace

std::string Mutator::ReplacementLiteral() {
    switch (Below(4)) {
    case 0: {  // deep nesting
        const std::size_t levels = Chance(50) ? 60 + Below(10) : 100 + Below(20000);
        const bool arrays = Chance(50);
        std::string text;
        text.reserve(levels * 6 + 2);
        for (std::size_t i = 0; i < levels; ++i) text += arrays ? "[" : "{\"a\":";
        text += "1";
        for (std::size_t i = 0; i < levels; ++i) text += arrays ? "]" : "}";
        return text;
    }
    case 1:  // a huge string
        return "\"" + std::string(1000 + Below(200000), 'x') + "\"";
    default:
        return kLiterals[Below(std::size(kLiterals))];
    }
}

// A random node of the tree, with its parent and (for objects) its key.
nlohmann::json* Mutator::PickNode(nlohmann::json& document, nlohmann::json** parent, std::string* key) {
    nlohmann::json* node = &document;
    *parent = nullptr;
    key->clear();
    while ((node->is_object() || node->is_array()) && !node->empty() && Chance(75)) {
        *parent = node;
        if (node->is_object()) {
            auto it = node->begin();
            std::advance(it, static_cast<std::ptrdiff_t>(Below(node->size())));
            *key = it.key();
            node = &*it;
        } else {
            node = &(*node)[Below(node->size())];
        }
    }
    return node;
}

void Mutator::MutateTree(nlohmann::json& document) {
    nlohmann::json* parent = nullptr;
    std::string key;
    nlohmann::json* node = PickNode(document, &parent, &key);
    switch (Below(5)) {
    case 0:  // a member goes missing
        if (parent && parent->is_object()) {
            parent->erase(key);
            return;
        }
        [[fallthrough]];
    case 1:
        *node = nullptr;
        return;
    case 2:  // a structure gains a member or element
        if (node->is_object()) {
            (*node)["extra_" + std::to_string(Below(3))] = kMarker;
        } else if (node->is_array()) {
            node->push_back(Chance(50) && !node->empty() ? (*node)[0] : nlohmann::json(kMarker));
        } else {
            *node = kMarker;
        }
        return;
    default:  // any other value in its place
        *node = kMarker;
        return;
    }
}

std::string Mutator::MutateBytes(std::string text) {
    switch (Below(6)) {
    case 0:
        return {};
    case 1:  // cut short
        text.resize(Below(text.size() + 1));
        return text;
    case 2:  // bit flips
        for (std::size_t flips = 1 + Below(4); flips > 0 && !text.empty(); --flips) {
            text[Below(text.size())] ^= static_cast<char>(1u << Below(8));
        }
        return text;
    case 3: {  // invalid UTF-8 inside a string
        const std::size_t quote = text.find('"', Below(text.size() + 1));
        static const char* const kBad[] = {"\xFF", "\xC3\x28", "\xE2\x82", "\xED\xA0\x80", "\xF8\x88\x80\x80\x80"};
        if (quote != std::string::npos) text.insert(quote + 1, kBad[Below(std::size(kBad))]);
        return text;
    }
    case 4: {  // a duplicate key right after an opening brace
        const std::size_t brace = text.find('{', Below(text.size() + 1));
        static const char* const kKeys[] = {"\"adm_id\":5,", "\"adm_id\":true,", "\"type\":\"reader_connected\",",
                                            "\"badge_no\":1.5,", "\"server\":{},", "\"access_token\":null,"};
        if (brace != std::string::npos) text.insert(brace + 1, kKeys[Below(std::size(kKeys))]);
        return text;
    }
    default:  // bytes spliced from elsewhere in the document
        if (text.size() > 2) {
            const std::size_t from = Below(text.size());
            const std::size_t length = Below(std::min<std::size_t>(64, text.size() - from));
            text.insert(Below(text.size()), text.substr(from, length));
        }
        return text;
    }
}

std::string Mutator::MutateJson(const nlohmann::json& sample) {
    nlohmann::json document = sample;
    for (std::size_t rounds = 1 + Below(3); rounds > 0; --rounds) MutateTree(document);
    std::string text = document.dump();
    // Each marker becomes a literal of its own.
    const std::string quoted = std::string("\"") + kMarker + "\"";
    for (std::size_t at = text.find(quoted); at != std::string::npos; at = text.find(quoted, at)) {
        const std::string literal = ReplacementLiteral();
        text.replace(at, quoted.size(), literal);
        at += literal.size();
    }
    return Chance(20) ? MutateBytes(std::move(text)) : text;
}

std::string Mutator::MutateBinary(std::string bytes) {
    if (Chance(10) || bytes.size() < 4) return MutateBytes(std::move(bytes));
    // Words overwritten in place keep the size, so most inputs get past the
    // size check to the records; the first pages hold every kind of record.
    static const std::uint32_t kWords[] = {0, 1, 2, 3, 7, 1023, 1024, 1025, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF};
    const std::size_t region = std::min<std::size_t>(bytes.size() / 4, 12000);
    for (std::size_t words = 1 + Below(4); words > 0; --words) {
        const std::uint32_t word = Chance(70) ? kWords[Below(std::size(kWords))]
                                              : static_cast<std::uint32_t>(Below(0x7FFFFFFF));
        std::memcpy(&bytes[4 * Below(region)], &word, sizeof word);
    }
    return bytes;
}

std::string Mutator::MutateText(const std::string& sample) {
    std::string text = sample;
    for (std::size_t rounds = 1 + Below(3); rounds > 0; --rounds) text = MutateBytes(std::move(text));
    return text;
}

}  // namespace fuzz
