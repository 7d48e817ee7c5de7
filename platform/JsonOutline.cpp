#include "platform/JsonOutline.h"

#include "platform/JsonDocument.h"

#include <nlohmann/json.hpp>

namespace tly {

namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

class OutlineScanner {
public:
    explicit OutlineScanner(std::string_view text) : text_(text) {}

    void SkipSpace() {
        while (pos_ < text_.size() && IsSpace(text_[pos_])) ++pos_;
    }
    bool Take(char c) {
        SkipSpace();
        if (pos_ == text_.size() || text_[pos_] != c) return false;
        ++pos_;
        return true;
    }
    bool AtEnd() {
        SkipSpace();
        return pos_ == text_.size();
    }

    // A string token, quotes included.
    bool String(std::string_view& token) {
        SkipSpace();
        if (pos_ == text_.size() || text_[pos_] != '"') return false;
        const std::size_t start = pos_++;
        if (!SkipStringBody()) return false;
        token = text_.substr(start, pos_ - start);
        return true;
    }

    // One value: a string, a bracketed value (its brackets balanced, strings
    // honoured), or a bare word up to the next delimiter.
    bool Value(std::string_view& span) {
        SkipSpace();
        if (pos_ == text_.size()) return false;
        const std::size_t start = pos_;
        const char c = text_[pos_];
        if (c == '"') {
            ++pos_;
            if (!SkipStringBody()) return false;
        } else if (c == '{' || c == '[') {
            std::size_t depth = 0;
            do {
                const char d = text_[pos_++];
                if (d == '"') {
                    if (!SkipStringBody()) return false;
                } else if (d == '{' || d == '[') {
                    ++depth;
                } else if (d == '}' || d == ']') {
                    --depth;
                }
            } while (depth > 0 && pos_ < text_.size());
            if (depth > 0) return false;
        } else {
            while (pos_ < text_.size() && !IsSpace(text_[pos_]) && text_[pos_] != ',' && text_[pos_] != '}' &&
                   text_[pos_] != ']') {
                ++pos_;
            }
            if (pos_ == start) return false;
        }
        span = text_.substr(start, pos_ - start);
        return true;
    }

private:
    // From just after an opening quote to just after the closing one.
    bool SkipStringBody() {
        while (pos_ < text_.size()) {
            const char c = text_[pos_++];
            if (c == '"') return true;
            if (c == '\\') {
                if (pos_ == text_.size()) return false;
                ++pos_;
            }
        }
        return false;
    }

    std::string_view text_;
    std::size_t pos_ = 0;
};

}  // namespace

bool SplitJsonObject(std::string_view text, std::vector<JsonMemberSpan>& members) {
    members.clear();
    OutlineScanner scanner(WithoutByteOrderMark(text));
    if (!scanner.Take('{')) return false;
    if (!scanner.Take('}')) {
        do {
            JsonMemberSpan member;
            if (!scanner.String(member.keyToken) || !scanner.Take(':') || !scanner.Value(member.value)) return false;
            members.push_back(member);
        } while (scanner.Take(','));
        if (!scanner.Take('}')) return false;
    }
    return scanner.AtEnd();
}

bool SplitJsonArray(std::string_view text, std::vector<std::string_view>& elements) {
    elements.clear();
    OutlineScanner scanner(WithoutByteOrderMark(text));
    if (!scanner.Take('[')) return false;
    if (!scanner.Take(']')) {
        do {
            std::string_view element;
            if (!scanner.Value(element)) return false;
            elements.push_back(element);
        } while (scanner.Take(','));
        if (!scanner.Take(']')) return false;
    }
    return scanner.AtEnd();
}

std::optional<std::string> DecodeJsonStringToken(std::string_view token) {
    if (token.size() < 2 || token.front() != '"') return std::nullopt;
    // Nearly every key is plain: no escape, nothing outside printable ASCII.
    bool plain = true;
    for (std::size_t i = 1; i + 1 < token.size() && plain; ++i) {
        const auto c = static_cast<unsigned char>(token[i]);
        plain = c >= 0x20 && c < 0x80 && c != '\\' && c != '"';
    }
    if (plain && token.back() == '"') return std::string(token.substr(1, token.size() - 2));
    const nlohmann::json decoded = nlohmann::json::parse(token, nullptr, false);
    if (!decoded.is_string()) return std::nullopt;
    return decoded.get<std::string>();
}

bool ExactIntegerFromJsonNumber(std::string_view number, std::int64_t lowest, std::int64_t highest,
                                std::int64_t& value) noexcept {
    std::size_t pos = 0;
    const bool negative = pos < number.size() && number[pos] == '-';
    if (negative) ++pos;
    const auto isDigit = [&](std::size_t at) { return at < number.size() && number[at] >= '0' && number[at] <= '9'; };
    // The significant digits, integer and fraction part together.
    std::string digits;
    const std::size_t intStart = pos;
    while (isDigit(pos)) digits += number[pos++];
    if (pos == intStart || (number[intStart] == '0' && pos - intStart > 1)) return false;
    std::int64_t exponent = 0;
    if (pos < number.size() && number[pos] == '.') {
        const std::size_t fracStart = ++pos;
        while (isDigit(pos)) digits += number[pos++];
        if (pos == fracStart) return false;
        exponent -= static_cast<std::int64_t>(pos - fracStart);
    }
    if (pos < number.size() && (number[pos] == 'e' || number[pos] == 'E')) {
        ++pos;
        bool negativeExponent = false;
        if (pos < number.size() && (number[pos] == '+' || number[pos] == '-')) negativeExponent = number[pos++] == '-';
        const std::size_t expStart = pos;
        std::int64_t written = 0;
        while (isDigit(pos)) {
            // Saturate: anything this large says "far out of range" or "far below 1" alike.
            if (written < 1000000000) written = written * 10 + (number[pos] - '0');
            ++pos;
        }
        if (pos == expStart) return false;
        exponent += negativeExponent ? -written : written;
    }
    if (pos != number.size()) return false;

    // Leading zeros say nothing; zero is zero whatever its exponent.
    const std::size_t firstSignificant = digits.find_first_not_of('0');
    if (firstSignificant == std::string::npos) {
        value = 0;
        return lowest <= 0 && 0 <= highest;
    }
    digits.erase(0, firstSignificant);
    // A negative exponent must only drop zeros.
    while (exponent < 0 && !digits.empty() && digits.back() == '0') {
        digits.pop_back();
        ++exponent;
    }
    if (exponent < 0) return false;
    if (static_cast<std::int64_t>(digits.size()) + exponent > 19) return false;
    digits.append(static_cast<std::size_t>(exponent), '0');
    std::uint64_t magnitude = 0;
    for (char c : digits) {
        const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
        if (magnitude > (UINT64_MAX - digit) / 10) return false;
        magnitude = magnitude * 10 + digit;
    }
    if (negative) {
        if (magnitude > static_cast<std::uint64_t>(INT64_MAX) + 1) return false;
        const std::int64_t signedValue = magnitude == static_cast<std::uint64_t>(INT64_MAX) + 1
                                             ? INT64_MIN
                                             : -static_cast<std::int64_t>(magnitude);
        if (signedValue < lowest) return false;
        value = signedValue;
        return true;
    }
    if (magnitude > static_cast<std::uint64_t>(highest) || static_cast<std::int64_t>(magnitude) < lowest) return false;
    value = static_cast<std::int64_t>(magnitude);
    return true;
}

}  // namespace tly
