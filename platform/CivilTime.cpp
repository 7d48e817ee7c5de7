#include "platform/CivilTime.h"

namespace tly {
namespace {

// Reads exactly count digits at text[at], advancing at.
bool Digits(std::string_view text, std::size_t& at, std::size_t count, int& value) {
    if (at + count > text.size()) return false;
    value = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const char c = text[at + i];
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    at += count;
    return true;
}

bool Expect(std::string_view text, std::size_t& at, char c) {
    if (at >= text.size() || text[at] != c) return false;
    ++at;
    return true;
}

int DaysInMonth(int year, int month) {
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
}

// Days from 1970-01-01 to the date; month 1-12, day 1-31, not validated.
std::int64_t DaysFromCivil(std::int64_t year, unsigned month, unsigned day) {
    year -= month <= 2 ? 1 : 0;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const unsigned yearOfEra = static_cast<unsigned>(year - era * 400);
    const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + static_cast<std::int64_t>(dayOfEra) - 719468;
}

}  // namespace

std::int64_t SecondsSince1970(const SYSTEMTIME& time) {
    return DaysFromCivil(time.wYear, time.wMonth, time.wDay) * 86400 + time.wHour * 3600 + time.wMinute * 60 +
           time.wSecond;
}

bool ParseUtcTimestamp(std::string_view text, std::int64_t& seconds) {
    std::size_t at = 0;
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (!Digits(text, at, 4, year) || !Expect(text, at, '-') || !Digits(text, at, 2, month) ||
        !Expect(text, at, '-') || !Digits(text, at, 2, day) || at >= text.size() ||
        (text[at] != 'T' && text[at] != 't' && text[at] != ' ')) {
        return false;
    }
    ++at;
    if (!Digits(text, at, 2, hour) || !Expect(text, at, ':') || !Digits(text, at, 2, minute) ||
        !Expect(text, at, ':') || !Digits(text, at, 2, second)) {
        return false;
    }
    if (month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month) || hour > 23 || minute > 59 ||
        second > 59) {
        return false;
    }
    if (at < text.size() && text[at] == '.') {
        const std::size_t start = ++at;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9') ++at;
        if (at == start) return false;
    }
    std::int64_t offset = 0;
    if (at < text.size() && (text[at] == 'Z' || text[at] == 'z')) {
        ++at;
    } else if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        const int sign = text[at++] == '-' ? -1 : 1;
        int offsetHours = 0, offsetMinutes = 0;
        if (!Digits(text, at, 2, offsetHours) || !Expect(text, at, ':') || !Digits(text, at, 2, offsetMinutes) ||
            offsetHours > 23 || offsetMinutes > 59) {
            return false;
        }
        offset = sign * (offsetHours * 3600 + offsetMinutes * 60);
    }
    if (at != text.size()) return false;
    seconds = DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400 + hour * 3600 +
              minute * 60 + second - offset;
    return true;
}

}  // namespace tly
