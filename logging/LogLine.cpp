#include "logging/LogLine.h"

#include <algorithm>
#include <charconv>

namespace {

// A JSON string, quoted and escaped as the JSON library writes it; throws on
// text that is not valid UTF-8. Printable ASCII without quotes or backslashes,
// which nearly every text is, goes as it is; the rest goes through the
// library's writer, whose set-up per call costs more than the text itself.
void AppendQuoted(std::string& out, std::string_view text) {
    const bool plain = std::all_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte >= 0x20 && byte < 0x80 && byte != '"' && byte != '\\';
    });
    if (!plain) {
        out += nlohmann::json(std::string(text)).dump();
        return;
    }
    out += '"';
    out += text;
    out += '"';
}

template <typename Integer>
void AppendInteger(std::string& out, Integer value) {
    char digits[24];
    const std::to_chars_result end = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, end.ptr);
}

// A field's value as the JSON library writes it, with the common kinds
// written directly for the same reason.
void AppendValue(std::string& out, const nlohmann::json& value) {
    switch (value.type()) {
        case nlohmann::json::value_t::string: AppendQuoted(out, value.get_ref<const std::string&>()); return;
        case nlohmann::json::value_t::number_integer: AppendInteger(out, value.get<std::int64_t>()); return;
        case nlohmann::json::value_t::number_unsigned: AppendInteger(out, value.get<std::uint64_t>()); return;
        case nlohmann::json::value_t::boolean: out += value.get<bool>() ? "true" : "false"; return;
        default: out += value.dump(); return;
    }
}

// Insertion sort, stable: a line has a handful of fields, and a sort that
// allocates would cost more than the line's text.
void SortByKey(const LogField** first, const LogField** last) {
    for (const LogField** i = first + 1; i < last; ++i) {
        const LogField* field = *i;
        const LogField** j = i;
        for (; j > first && field->key < (*(j - 1))->key; --j) *j = *(j - 1);
        *j = field;
    }
}

// The "fields" object: keys in byte-wise order, the later of two equal keys winning.
void AppendFields(std::string& out, const LogField* fields, size_t count) {
    constexpr size_t kOnStack = 16;
    const LogField* onStack[kOnStack];
    std::vector<const LogField*> onHeap;
    const LogField** sorted = onStack;
    if (count > kOnStack) {
        onHeap.resize(count);
        sorted = onHeap.data();
    }
    for (size_t i = 0; i < count; ++i) sorted[i] = &fields[i];
    SortByKey(sorted, sorted + count);
    out += '{';
    for (size_t i = 0; i < count; ++i) {
        if (i + 1 < count && sorted[i + 1]->key == sorted[i]->key) continue;
        if (out.back() != '{') out += ',';
        AppendQuoted(out, sorted[i]->key);
        out += ':';
        AppendValue(out, sorted[i]->value);
    }
    out += '}';
}

// At least width digits of value, zero-padded.
char* PutDigits(char* at, unsigned value, int width) {
    char digits[12];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    for (int pad = count; pad < width; ++pad) *at++ = '0';
    while (count > 0) *at++ = digits[--count];
    return at;
}

// 2024-03-05T14:07:09.042, without the C library's formatter: every line has one.
size_t FormatTimestamp(const LogLineTime& t, char (&text)[40]) {
    char* at = PutDigits(text, t.year, 4);
    *at++ = '-';
    at = PutDigits(at, t.month, 2);
    *at++ = '-';
    at = PutDigits(at, t.day, 2);
    *at++ = 'T';
    at = PutDigits(at, t.hour, 2);
    *at++ = ':';
    at = PutDigits(at, t.minute, 2);
    *at++ = ':';
    at = PutDigits(at, t.second, 2);
    *at++ = '.';
    at = PutDigits(at, t.milliseconds, 3);
    return static_cast<size_t>(at - text);
}

}  // namespace

// A main log line: the bytes the JSON library writes for the line's object
// (keys in byte-wise order, compact), written piece by piece: a line per
// activity is the log's hot path, and a whole object per line costs a tree of
// allocations that the text alone does not need.
std::string LogLineText(LogLevel level, std::string_view component, std::string_view event,
                        std::optional<std::string_view> message, const LogField* fields, size_t count,
                        const LogLineOrigin& origin) {
    std::string text;
    text.reserve(256);
    text += "{\"component\":";
    AppendQuoted(text, component);
    text += ",\"event\":";
    AppendQuoted(text, event);
    if (count != 0) {
        text += ",\"fields\":";
        AppendFields(text, fields, count);
    }
    text += ",\"level\":";
    AppendQuoted(text, LogLevelName(level));
    if (message) {
        text += ",\"message\":";
        AppendQuoted(text, *message);
    }
    text += ",\"process_id\":";
    AppendInteger(text, origin.processId);
    text += ",\"thread_id\":";
    AppendInteger(text, origin.threadId);
    char timestamp[40];
    const size_t length = FormatTimestamp(origin.time, timestamp);
    text += ",\"timestamp\":\"";
    text.append(timestamp, length);
    text += "\"}";
    return text;
}

std::string FormatLogTimestamp(const LogLineTime& time) {
    char text[40];
    return std::string(text, FormatTimestamp(time, text));
}
