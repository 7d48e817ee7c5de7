#include "api/PlainPendingBatch.h"

#include "platform/JsonDocument.h"

#include <cstdint>
#include <limits>

namespace {

// The activity members the document reader reads, by position in Members.
enum Member { kAdmId, kActivityType, kBadgeNo, kReaderExternalId, kDoorName, kReaderName, kTimestamp,
              kEntryGranted, kNotes, kSourceType, kAlarmDescription, kAlarmFullText, kMemberCount };

constexpr std::string_view kMemberNames[kMemberCount] = {
    "adm_id",      "activity_type", "badge_no",     "reader_external_id", "door_name",         "reader_name",
    "timestamp",   "entry_granted", "notes",        "source_type",        "alarm_description", "alarm_full_text"};

// Up to 18 digits always fit in 64 bits.
constexpr std::size_t kMostDigits = 18;

struct Value {
    enum Kind { Absent, String, Integer, Boolean } kind = Absent;
    std::string_view text;  // String: between the quotes
    std::int64_t integer = 0;
    bool boolean = false;
};

class Scanner {
public:
    explicit Scanner(std::string_view text) : text_(text) {}

    // The next character, after white space, is c: consumes it.
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

    // Where the next token starts, and the text between two positions.
    std::size_t Position() {
        SkipSpace();
        return pos_;
    }
    std::size_t Here() const { return pos_; }
    std::string_view Between(std::size_t start, std::size_t end) const { return text_.substr(start, end - start); }

    // A string of printable ASCII without escapes.
    bool PlainString(std::string_view& text) {
        if (!Take('"')) return false;
        const std::size_t start = pos_;
        for (; pos_ < text_.size(); ++pos_) {
            const auto c = static_cast<unsigned char>(text_[pos_]);
            if (c == '"') {
                text = text_.substr(start, pos_ - start);
                ++pos_;
                return true;
            }
            if (c < 0x20 || c >= 0x80 || c == '\\') return false;
        }
        return false;
    }

    // A plain string, an integer or a boolean.
    bool Scalar(Value& value) {
        SkipSpace();
        if (pos_ == text_.size()) return false;
        const char c = text_[pos_];
        if (c == '"') {
            value.kind = Value::String;
            return PlainString(value.text);
        }
        if (c == 't' || c == 'f') {
            value.kind = Value::Boolean;
            value.boolean = c == 't';
            return Word(value.boolean ? "true" : "false");
        }
        value.kind = Value::Integer;
        return Integer(value.integer);
    }

private:
    void SkipSpace() {
        while (pos_ < text_.size() &&
               (text_[pos_] == ' ' || text_[pos_] == '\t' || text_[pos_] == '\n' || text_[pos_] == '\r')) {
            ++pos_;
        }
    }

    bool Word(std::string_view word) {
        if (text_.substr(pos_, word.size()) != word) return false;
        pos_ += word.size();
        return true;
    }

    // -?(0|[1-9][0-9]*) with no fraction or exponent; "-0" is left to the
    // document reader.
    bool Integer(std::int64_t& value) {
        const bool negative = text_[pos_] == '-';
        if (negative) ++pos_;
        const std::size_t start = pos_;
        std::int64_t magnitude = 0;
        while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9') {
            if (pos_ - start == kMostDigits) return false;
            magnitude = magnitude * 10 + (text_[pos_] - '0');
            ++pos_;
        }
        const std::size_t digits = pos_ - start;
        if (digits == 0 || (text_[start] == '0' && (digits > 1 || negative))) return false;
        if (pos_ < text_.size() && (text_[pos_] == '.' || text_[pos_] == 'e' || text_[pos_] == 'E')) return false;
        value = negative ? -magnitude : magnitude;
        return true;
    }

    std::string_view text_;
    std::size_t pos_ = 0;
};

// The document reader's defaults for absent members, and its refusals as a
// give-up here.
bool ReadInt32(const Value& value, std::int32_t& out) {
    if (value.kind == Value::Absent) return true;
    if (value.kind != Value::Integer || value.integer < std::numeric_limits<std::int32_t>::min() ||
        value.integer > std::numeric_limits<std::int32_t>::max()) {
        return false;
    }
    out = static_cast<std::int32_t>(value.integer);
    return true;
}

bool ReadInt64(const Value& value, std::int64_t& out) {
    if (value.kind == Value::Absent) return true;
    if (value.kind != Value::Integer) return false;
    out = value.integer;
    return true;
}

bool ReadString(const Value& value, std::string& out) {
    if (value.kind == Value::Absent) return true;
    if (value.kind != Value::String) return false;
    out.assign(value.text.data(), value.text.size());
    return true;
}

bool ReadBool(const Value& value, bool& out) {
    if (value.kind == Value::Absent) return true;
    if (value.kind != Value::Boolean) return false;
    out = value.boolean;
    return true;
}

bool ReadActivity(Scanner& scanner, PendingActivity& a) {
    const std::size_t start = scanner.Position();
    if (!scanner.Take('{')) return false;
    Value members[kMemberCount];
    if (!scanner.Take('}')) {
        do {
            std::string_view key;
            Value value;
            if (!scanner.PlainString(key) || !scanner.Take(':') || !scanner.Scalar(value)) return false;
            for (int i = 0; i < kMemberCount; ++i) {
                if (key != kMemberNames[i]) continue;
                if (members[i].kind != Value::Absent) return false;  // repeated
                members[i] = value;
                break;
            }
        } while (scanner.Take(','));
        if (!scanner.Take('}')) return false;
    }
    a.raw = scanner.Between(start, scanner.Here());
    // An activity without an id is malformed: the document reader says so.
    if (members[kAdmId].kind == Value::Absent) return false;
    // The members of the other kind of activity are not read, so their types do not matter.
    std::string alarmDescription;
    return ReadInt32(members[kAdmId], a.admId) && ReadInt32(members[kActivityType], a.activityType) &&
           ReadInt64(members[kBadgeNo], a.badgeNo) && ReadString(members[kReaderExternalId], a.readerExternalId) &&
           ReadString(members[kDoorName], a.doorName) && ReadString(members[kReaderName], a.readerName) &&
           ReadString(members[kTimestamp], a.timestamp) &&
           (a.IsAlarm() ? ReadInt32(members[kSourceType], a.sourceType) &&
                              ReadString(members[kAlarmDescription], alarmDescription) &&
                              ReadString(members[kAlarmFullText], a.alarmFullText)
                        : ReadBool(members[kEntryGranted], a.entryGranted) && ReadString(members[kNotes], a.notes));
}

// A batch is usually the server's batch size (100): room for that many
// saves the vector's regrowth on every batch.
constexpr std::size_t kUsualBatch = 128;

bool ReadActivities(Scanner& scanner, std::vector<PendingActivity>& activities) {
    if (!scanner.Take('[')) return false;
    if (scanner.Take(']')) return true;
    activities.reserve(kUsualBatch);
    do {
        PendingActivity activity;
        if (!ReadActivity(scanner, activity)) return false;
        activities.push_back(std::move(activity));
    } while (scanner.Take(','));
    return scanner.Take(']');
}

}  // namespace

std::optional<PendingBatch> ReadPlainPendingBatch(std::string_view response) {
    // One byte order mark at the start, as the document reader allows.
    Scanner scanner(tly::WithoutByteOrderMark(response));
    PendingBatch batch;
    bool sawActivities = false;
    bool sawRemaining = false;
    if (!scanner.Take('{')) return std::nullopt;
    do {
        std::string_view key;
        if (!scanner.PlainString(key) || !scanner.Take(':')) return std::nullopt;
        if (key == "activities" && !sawActivities) {
            sawActivities = true;
            if (!ReadActivities(scanner, batch.activities)) return std::nullopt;
        } else if (key == "remaining_count" && !sawRemaining) {
            sawRemaining = true;
            Value remaining;
            if (!scanner.Scalar(remaining) || remaining.kind != Value::Integer ||
                !ReadInt32(remaining, batch.remainingCount)) {
                return std::nullopt;
            }
        } else {
            return std::nullopt;
        }
    } while (scanner.Take(','));
    if (!scanner.Take('}') || !scanner.AtEnd()) return std::nullopt;
    batch.empty = batch.activities.empty();
    return batch;
}
