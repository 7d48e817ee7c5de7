// Server times read without the platform's calendar, which under Wine takes
// dates Windows refuses.

#include "platform/CivilTime.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace tly::test {
namespace {

TEST(CivilTime, ServerTimesAreSecondsSince1970) {
    struct Case {
        const char* text;
        std::int64_t seconds;
    } const cases[] = {
        {"1970-01-01T00:00:00Z", 0},
        {"2026-12-10T14:07:09Z", 1796911629},
        {"2026-12-10T14:07:09.042Z", 1796911629},
        {"2026-12-10T14:07:09", 1796911629},
        {"2026-12-10T15:07:09+01:00", 1796911629},
        {"2026-12-10T09:07:09-05:00", 1796911629},
        {"2024-02-29T00:00:00Z", 1709164800},
        {"2000-03-01T00:00:00Z", 951868800},
    };
    for (const Case& c : cases) {
        std::int64_t seconds = -1;
        EXPECT_TRUE(ParseUtcTimestamp(c.text, seconds)) << c.text;
        EXPECT_EQ(seconds, c.seconds) << c.text;
    }
}

TEST(CivilTime, TimesThatDoNotExistAreRefused) {
    for (const char* text : {"", "2026-12-10", "2025-02-29T00:00:00Z", "1900-02-29T00:00:00Z", "2026-13-01T00:00:00Z",
                             "2026-04-31T00:00:00Z", "2026-12-10T24:00:00Z", "2026-12-10T12:60:00Z",
                             "2026-12-10T12:00:00ZZ", "2026-12-10T12:00:00+0100", "2026-12-10T12:00:00.Z",
                             "26-12-10T12:00:00Z", "2026-12-10X12:00:00Z", "yesterday"}) {
        std::int64_t seconds = 0;
        EXPECT_FALSE(ParseUtcTimestamp(text, seconds)) << text;
    }
}

}  // namespace
}  // namespace tly::test
