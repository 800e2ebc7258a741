#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "foundation/text.h"
#include "foundation/time_math.h"
#include "support/addresses.h"

namespace pelldor {
namespace {

TEST(LocalTime, SerialSecondsRoundTripAcrossCalendarEdges) {
    struct Case {
        LocalDateTime t;
        std::int64_t serial;
    };
    const std::vector<Case> cases = {
        {{1970, 1, 1, 0, 0, 0}, 0}, {{1969, 12, 31, 23, 59, 59}, -1}, {{2000, 2, 29, 12, 0, 0}, 951825600},
        {{2036, 2, 7, 6, 28, 16}, 2085978496}, {{2026, 12, 8, 11, 0, 0}, 1796727600}, {{1900, 1, 1, 0, 0, 0}, -2208988800},
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
    // Nanoseconds carry into the seconds both ways.
    const PreciseLocalTime t{{2026, 12, 8, 12, 0, 0}, 250'000'000, 3600};
    using Moved = std::tuple<std::int64_t, LocalDateTime, std::uint32_t>;
    for (const auto& [nanos, whole, fraction] : {Moved{800'000'000, {2026, 12, 8, 12, 0, 1}, 50'000'000},
                                                 Moved{-3'300'000'000, {2026, 12, 8, 11, 59, 56}, 950'000'000},
                                                 Moved{-250'000'000, t.whole, 0}}) {
        const auto moved = AddNanos(t, nanos);
        EXPECT_EQ(std::tuple(moved.whole, moved.nanos, moved.zoneOffsetSeconds), std::tuple(whole, fraction, 3600)) << nanos;
    }
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

TEST(Text, EscapesWhatIsNotPrintableAsciiAndNothingElse) {
    EXPECT_EQ(Printable("5 2 \"ntp host:123\" C:\\x41 ~"), "5 2 \"ntp host:123\" C:\\x41 ~");
    EXPECT_EQ(Printable("a\r\nb"), "a\\r\\nb");
    EXPECT_EQ(Printable(std::string("\0\t\x1f\x7f\x80\xc3\xa9\xff", 8)), "\\x00\\x09\\x1f\\x7f\\x80\\xc3\\xa9\\xff");
}

// One reader of numbers for both modes: integers exactly, decimals as the plugin takes them.
TEST(Text, NumbersAreSignedDecimalsAndNothingElse) {
    struct Case {
        std::string text;
        std::optional<long long> integer;
        std::optional<double> decimal;
    };
    const std::vector<Case> cases = {
        {"0", 0, 0}, {"+5", 5, 5}, {"-30", -30, -30}, {"007", 7, 7},
        {"-9223372036854775808", std::numeric_limits<long long>::min(), -9223372036854775808.0},
        {"9223372036854775807", std::numeric_limits<long long>::max(), 9223372036854775807.0},
        {"9223372036854775808", std::nullopt, 9223372036854775808.0},
        {"0.25", std::nullopt, 0.25}, {"+.5", std::nullopt, 0.5}, {"-3.", std::nullopt, -3}, {"1.0", std::nullopt, 1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ParseInteger(c.text), c.integer) << "[" << c.text << "]";
        EXPECT_EQ(ParseDecimal(c.text), c.decimal) << "[" << c.text << "]";
    }
    for (const std::string bad : {"", " 12", "12\t", "-", ".", "+-1", "1..2", "1e3", "0x10", "inf", "nan", "1 2"}) {
        EXPECT_FALSE(ParseInteger(bad) || ParseDecimal(bad)) << "[" << bad << "]";
    }
}

TEST(Text, BracketsHoldAnIpv6AddressAndOptionallyAPortAfterThem) {
    struct Case {
        std::string text;
        std::string_view host;
        std::optional<std::string_view> port;
    };
    const Case cases[] = {{"[2001:db8::1]", "2001:db8::1", std::nullopt}, {"[::1]:123", "::1", "123"},
                          {"[fe80::1%eth0]:", "fe80::1%eth0", ""}, {"[]:123", "", "123"}};
    for (const Case& c : cases) {
        const auto split = SplitBracketed(c.text);
        ASSERT_TRUE(split.has_value()) << c.text;
        EXPECT_EQ(std::pair(split->host, split->port), std::pair(c.host, c.port)) << c.text;
    }
    for (const std::string bad : {"[::1]123", "[::1", "::1", "a[b]:1"}) EXPECT_FALSE(SplitBracketed(bad).has_value()) << bad;
}

// RFC 5952: the longest run of two or more zero groups is "::", the first of equal runs;
// a lone zero group stays; lower-case hex without leading zeros.
TEST(Text, AddressesInTheirShortestForm) {
    const auto v6 = [](std::initializer_list<std::uint16_t> groups, std::uint32_t scope = 0) {
        return testing::V6(groups, 123, scope);
    };
    const std::pair<platform::NetAddress, std::string> cases[] = {
        {testing::V4(192, 0, 2, 1, 123), "192.0.2.1:123"},
        {testing::V4(0, 0, 0, 0, 0), "0.0.0.0:0"},
        {v6({0, 0, 0, 0, 0, 0, 0, 1}), "[::1]:123"},
        {v6({0, 0, 0, 0, 0, 0, 0, 0}), "[::]:123"},
        {v6({0x2001, 0xdb8, 0, 0, 0, 0, 0, 1}), "[2001:db8::1]:123"},
        {v6({0x2001, 0xdb8, 0, 0, 1, 0, 0, 0}), "[2001:db8:0:0:1::]:123"},
        {v6({0x2001, 0xdb8, 0, 0, 1, 0, 0, 1}), "[2001:db8::1:0:0:1]:123"},
        {v6({0x2001, 0xdb8, 0, 1, 1, 1, 1, 1}), "[2001:db8:0:1:1:1:1:1]:123"},
        {v6({0xfe80, 0, 0, 0, 0xabcd, 0xef, 0x12, 0x3400}, 3), "[fe80::abcd:ef:12:3400%3]:123"},
        {v6({0, 0, 0, 0, 0, 0xffff, 0xc000, 0x0201}), "[::ffff:192.0.2.1]:123"},
        {v6({1, 0, 0, 2, 0, 0, 0, 3}), "[1:0:0:2::3]:123"},
    };
    for (const auto& [address, text] : cases) EXPECT_EQ(AddressText(address), text);
}

}  // namespace
}  // namespace pelldor
