#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/time_math.h"

namespace pelldor::platform {
namespace {

TEST(LocalTime, SerialSecondsRoundTripAcrossCalendarEdges) {
    struct Case {
        LocalDateTime t;
        std::int64_t serial;
    };
    const std::vector<Case> cases = {
        {{1970, 1, 1, 0, 0, 0}, 0},
        {{1969, 12, 31, 23, 59, 59}, -1},
        {{2000, 2, 29, 12, 0, 0}, 951825600},
        {{2036, 2, 7, 6, 28, 16}, 2085978496},
        {{2026, 12, 8, 11, 0, 0}, 1796727600},
        {{1900, 1, 1, 0, 0, 0}, -2208988800},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ToSerialSeconds(c.t), c.serial) << FormatTimestamp(c.t);
        EXPECT_EQ(FromSerialSeconds(c.serial), c.t) << c.serial;
    }
}

TEST(LocalTime, ArithmeticIsNaiveCalendarArithmetic) {
    const LocalDateTime leapEve{2028, 2, 28, 23, 59, 58};
    EXPECT_EQ(AddSeconds(leapEve, 3), (LocalDateTime{2028, 2, 29, 0, 0, 1}));
    EXPECT_EQ(AddSeconds({2027, 12, 31, 23, 59, 59}, 1), (LocalDateTime{2028, 1, 1, 0, 0, 0}));
    EXPECT_EQ(AddSeconds({2027, 1, 1, 0, 0, 0}, -1), (LocalDateTime{2026, 12, 31, 23, 59, 59}));
    EXPECT_EQ(SecondsBetween({2026, 3, 29, 1, 59, 59}, {2026, 3, 29, 3, 0, 0}), 3601)
        << "no time zone rule shortens a naive difference";
    EXPECT_EQ(SecondsBetween({2026, 1, 1, 0, 0, 3}, {2026, 1, 1, 0, 0, 0}), -3);
}

TEST(LocalTime, AddNanosCarriesBothWays) {
    const PreciseLocalTime t{{2026, 12, 8, 12, 0, 0}, 250'000'000, 3600};
    const auto later = AddNanos(t, 800'000'000);
    EXPECT_EQ(later.whole, (LocalDateTime{2026, 12, 8, 12, 0, 1}));
    EXPECT_EQ(later.nanos, 50'000'000u);
    const auto earlier = AddNanos(t, -3'300'000'000);
    EXPECT_EQ(earlier.whole, (LocalDateTime{2026, 12, 8, 11, 59, 56}));
    EXPECT_EQ(earlier.nanos, 950'000'000u);
    const auto exact = AddNanos(t, -250'000'000);
    EXPECT_EQ(exact.whole, t.whole);
    EXPECT_EQ(exact.nanos, 0u);
}

TEST(LocalTime, TimestampTextAndItsReadBack) {
    EXPECT_EQ(FormatTimestamp({2026, 1, 2, 3, 4, 5}), "2026-01-02 03:04:05");
    EXPECT_EQ(FormatTimestamp({999, 12, 31, 23, 59, 59}), "0999-12-31 23:59:59");
    EXPECT_EQ(FormatTimestamp({10000, 1, 1, 0, 0, 0}), "");
    EXPECT_EQ(FormatTimestamp({-1, 1, 1, 0, 0, 0}), "");
    EXPECT_EQ(FormatTimestamp({2026, 2, 29, 0, 0, 0}), "");

    EXPECT_EQ(ParseTimestamp("2026-01-02 03:04:05"), (LocalDateTime{2026, 1, 2, 3, 4, 5}));
    EXPECT_EQ(ParseTimestamp("2028-02-29 23:59:59"), (LocalDateTime{2028, 2, 29, 23, 59, 59}));
    for (const std::string bad : {"", "2026-01-02 03:04:5", "2026-01-02 03:04:05 ", "2026/01/02 03:04:05",
                                  "2026-13-01 00:00:00", "2026-02-29 00:00:00", "2026-01-01 24:00:00",
                                  "2026-01-01 00:60:00", "2026-01-01 00:00:60", "2026-00-10 00:00:00",
                                  "20a6-01-01 00:00:00", "2026-01-01T00:00:00"}) {
        EXPECT_FALSE(ParseTimestamp(bad).has_value()) << bad;
    }
}

}  // namespace
}  // namespace pelldor::platform
