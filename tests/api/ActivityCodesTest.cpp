#include "api/ActivityCodes.h"

#include <gtest/gtest.h>

TEST(DenialCodesTest, FirstReasonInTableOrderWinsCaseInsensitively) {
    struct Case {
        const char* notes;
        std::int32_t type;
        std::int32_t id;
    };
    for (const Case& c : {Case{"Badge Expired", 1, 63}, Case{"Card expired, user inactive", 1, 63},
                          Case{"user inactive", 1, 8}, Case{"reported LOST", 1, 8},
                          Case{"not at this time", 1, 24}, Case{"anti-passback violation", 3, 0},
                          Case{"AntiPassBack", 3, 0}, Case{"passback", 1, 65},
                          Case{"Invalid facility code", 1, 3}, Case{"user not found", 1, 71},
                          Case{"ACCESS DENIED", 1, 65}, Case{"", 1, 65},
                          Case{"lost and expired", 1, 63}}) {
        const EventCodes codes = DenialCodes(c.notes);
        EXPECT_EQ(codes.type, c.type) << c.notes;
        EXPECT_EQ(codes.id, c.id) << c.notes;
    }
}

TEST(ActivityEventTimeTest, ReadsUtcAndIgnoresTrailingText) {
    struct Case {
        const char* timestamp;
        std::uint32_t expected;
    };
    for (const Case& c : {Case{"2024-01-02T03:04:05Z", 1704164645u}, Case{"2024-01-02T03:04:05", 1704164645u},
                          Case{"2024-01-02T03:04:05.987+02:00", 1704164645u}, Case{"1970-01-01T00:00:00", 0u},
                          Case{"2024-01-02", 0u}, Case{"", 0u}, Case{"2024-13-01T00:00:00", 0u},
                          Case{"2024-02-30T00:00:00", 0u}, Case{"2024-01-00T00:00:00", 0u},
                          Case{"garbage", 0u}, Case{"2024-01-02T25:00:00", 0u},
                          // Read as "%hd-%hd-%hdT%hd:%hd:%hd" reads: padding, white space before
                          // a number and a sign are optional; every separator is required.
                          Case{"2024-1-2T3:4:5", 1704164645u}, Case{" 2024-01-02T 03:04:05", 1704164645u},
                          Case{"+2024-01-02T03:04:+5", 1704164645u}, Case{"2024-01-02 03:04:05", 0u},
                          Case{"2024-01-02T03:04", 0u}, Case{"2024-01-02T03:04:", 0u},
                          Case{"-2024-01-02T03:04:05", 0u}, Case{"2024-01-02T03:04:-5", 0u},
                          // The dates Windows converts, whatever Wine would take besides:
                          // leap days by the Gregorian rule, years 1601 to 30827, each
                          // time cut to its low 32 bits.
                          Case{"2024-02-29T12:00:00", 1709208000u}, Case{"2023-02-29T12:00:00", 0u},
                          Case{"1900-02-29T00:00:00", 0u}, Case{"2000-02-29T00:00:00", 951782400u},
                          Case{"2106-02-07T06:28:17", 1u}, Case{"1601-01-01T00:00:00", 1240428288u},
                          Case{"1600-12-31T23:59:59", 0u}, Case{"30827-12-31T23:59:59", 137448447u},
                          Case{"30828-01-01T00:00:00", 0u}, Case{"2024-01-02T03:60:05", 0u}}) {
        EXPECT_EQ(ActivityEventTime(c.timestamp), c.expected) << c.timestamp;
    }
}

TEST(AlarmTypeNameTest, KnownKindsAndEmptyForTheRest) {
    EXPECT_EQ(AlarmTypeName(0), "RFID Alarm");
    EXPECT_EQ(AlarmTypeName(1), "Muster Alarm");
    EXPECT_EQ(AlarmTypeName(3), "Muster Cancelled");
    EXPECT_EQ(AlarmTypeName(5), "Handheld Offline");
    EXPECT_EQ(AlarmTypeName(6), "Battery Alert");
    for (int other : {2, 4, 7, 100, -1}) EXPECT_EQ(AlarmTypeName(other), "") << other;
}
