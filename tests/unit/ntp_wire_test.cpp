#include "exchange/ntp_wire.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <vector>

#include "exchange/reply_check.h"
#include "support/ntp_packets.h"

namespace pelldor::exchange {
namespace {

using platform::UnixTime;
using testing::FromNtpTimestamp;
using testing::Kiss;
using testing::NtpAt;

constexpr std::int64_t kBillion = 1'000'000'000;
constexpr std::int64_t kEra1StartUnix = 2'085'978'496;  // 2036-02-07 06:28:16 UTC

// leap 3, version 4, mode 4, stratum 2, poll 6, precision -20, then every field distinct.
const std::vector<std::uint8_t> kGoldenReply = {
    0xe4, 0x02, 0x06, 0xec, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 'R',  'A',  'T',  'E',
    0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x20, 0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27,
    0x30, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x40, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47,
};

// A request carries only its header and the cookie; a reply's every field is read big-endian
// from its own octets, from a full header and whatever follows it.
TEST(NtpWire, EncodesTheRequestAndDecodesEveryFieldOfAFullHeader) {
    const auto request = EncodeRequest(0x0123'4567'89ab'cdefULL);
    EXPECT_EQ(std::vector<std::uint8_t>(request.begin(), request.end()),
              testing::PacketBytes({.version = 4, .mode = 3, .transmitTime = 0x0123'4567'89ab'cdefULL}));
    const NtpPacket golden{.leap = 3, .version = 4, .mode = 4, .stratum = 2, .poll = 6, .precision = -20,
                           .rootDelay = 0x0102'0304, .rootDispersion = 0x0506'0708, .referenceId = 0x5241'5445,
                           .referenceTime = 0x1011'1213'1415'1617, .originTime = 0x2021'2223'2425'2627,
                           .receiveTime = 0x3031'3233'3435'3637, .transmitTime = 0x4041'4243'4445'4647};
    EXPECT_EQ(testing::PacketBytes(golden), kGoldenReply);
    for (const std::size_t size : {0U, 47U, 48U, 49U, 1500U}) {
        std::vector<std::uint8_t> bytes(size, 0xff);
        std::copy_n(kGoldenReply.begin(), std::min(size, kGoldenReply.size()), bytes.begin());
        EXPECT_EQ(DecodePacket(bytes), size < 48 ? std::nullopt : std::optional(golden)) << size;
    }
}

TEST(NtpWire, ReplyChecksOneFieldAtATime) {
    constexpr std::uint64_t kCookie = 0x1122'3344'5566'7788ULL;
    constexpr std::uint64_t kSecond = std::uint64_t{1} << 32;
    const NtpPacket good{.version = 4, .mode = kModeServer, .stratum = 2, .referenceId = 0x4750'5300, .originTime = kCookie,
                         .receiveTime = 0xeec2'61b0'0000'0000ULL, .transmitTime = 0xeec2'61b0'0001'0000ULL};
    // No time on the path either way: the round trip is only the server's own.
    const Stamps ours{kCookie, good.receiveTime, good.transmitTime};

    struct Case {
        const char* name;
        std::function<void(NtpPacket&, Stamps&)> breakIt;
        ReplyCheck expected;
    };
    const Case cases[] = {
        {"untouched", [](auto&, auto&) {}, ReplyCheck::Accept},
        {"client mode", [](auto& p, auto&) { p.mode = 3; }, ReplyCheck::NotServerMode},
        {"broadcast mode", [](auto& p, auto&) { p.mode = 5; }, ReplyCheck::NotServerMode},
        {"version 0", [](auto& p, auto&) { p.version = 0; }, ReplyCheck::BadVersion},
        {"version 5", [](auto& p, auto&) { p.version = 5; }, ReplyCheck::BadVersion},
        {"version 1", [](auto& p, auto&) { p.version = 1; }, ReplyCheck::Accept},
        {"other origin", [](auto& p, auto&) { p.originTime ^= 1; }, ReplyCheck::OriginMismatch},
        {"zero origin", [](auto& p, auto&) { p.originTime = 0; }, ReplyCheck::OriginMismatch},
        {"DENY", Kiss("DENY"), ReplyCheck::KissOfDeath},
        {"RSTR", Kiss("RSTR"), ReplyCheck::KissOfDeath},
        {"RATE with alarm", Kiss("RATE", 3), ReplyCheck::KissOfDeath},
        {"INIT with alarm", Kiss("INIT", 3), ReplyCheck::KissNotSynchronised},
        {"STEP", Kiss("STEP"), ReplyCheck::KissNotSynchronised},
        {"RATE in lower case", Kiss("rate"), ReplyCheck::KissNotSynchronised},
        {"stratum 0 without a code", Kiss(0), ReplyCheck::StratumUnsynchronised},
        {"stratum 0 with a binary id", Kiss(0x7f00'0001), ReplyCheck::StratumUnsynchronised},
        {"unsynchronised with alarm", Kiss(0, 3), ReplyCheck::LeapAlarm},
        {"leap 3", [](auto& p, auto&) { p.leap = 3; }, ReplyCheck::LeapAlarm},
        {"leap 1", [](auto& p, auto&) { p.leap = 1; }, ReplyCheck::Accept},
        {"stratum 15", [](auto& p, auto&) { p.stratum = 15; }, ReplyCheck::Accept},
        {"stratum 16", [](auto& p, auto&) { p.stratum = 16; }, ReplyCheck::StratumUnsynchronised},
        {"stratum 255", [](auto& p, auto&) { p.stratum = 255; }, ReplyCheck::StratumUnsynchronised},
        {"zero transmit", [](auto& p, auto&) { p.transmitTime = 0; }, ReplyCheck::ZeroTransmit},
        {"forged kiss", [](auto& p, auto&) { p.stratum = 0, p.originTime = 7; }, ReplyCheck::OriginMismatch},
        {"alarm not for us", [](auto& p, auto&) { p.leap = 3, p.mode = 1; }, ReplyCheck::NotServerMode},
        {"transmit one step before receive", [](auto& p, auto&) { p.transmitTime = p.receiveTime - 1; },
         ReplyCheck::TransmitBeforeReceive},
        {"transmit 5 s before receive", [](auto& p, auto&) { p.transmitTime = p.receiveTime - 5 * kSecond; },
         ReplyCheck::TransmitBeforeReceive},
        {"receive 30 s late, transmit 10 s early",
         [](auto& p, auto&) { p.receiveTime += 30 * kSecond, p.transmitTime -= 10 * kSecond; },
         ReplyCheck::TransmitBeforeReceive},
        {"zero receive", [](auto& p, auto&) { p.receiveTime = 0; }, ReplyCheck::TransmitBeforeReceive},
        {"transmit equal to receive", [](auto& p, auto&) { p.transmitTime = p.receiveTime; }, ReplyCheck::Accept},
        {"transmit across the era rollover",
         [](auto& p, auto& e) {
             p.receiveTime = ~std::uint64_t{0} - 5;
             p.transmitTime = 9;
             e.sentAt = p.receiveTime, e.receivedAt = p.transmitTime;
         },
         ReplyCheck::Accept},
        {"held 5 s longer than the exchange", [](auto& p, auto&) { p.transmitTime += 5 * kSecond; },
         ReplyCheck::HeldLongerThanExchange},
        {"received 2^31 - 1 s before the transmit",
         [](auto& p, auto&) { p.receiveTime = p.transmitTime - (kSecond << 31) + kSecond; },
         ReplyCheck::HeldLongerThanExchange},
        {"held 1/16 s longer than the exchange", [](auto& p, auto&) { p.transmitTime += kSecond / 16; },
         ReplyCheck::Accept},
        {"a step beyond that", [](auto& p, auto&) { p.transmitTime += kSecond / 16 + 1; },
         ReplyCheck::HeldLongerThanExchange},
        {"held 3 ms by a millisecond clock in an exchange of 2 ms",
         [](auto& p, auto& e) { p.transmitTime = p.receiveTime + 3 * kSecond / 1000, e.receivedAt = e.sentAt + 2 * kSecond / 1000; },
         ReplyCheck::Accept},
        {"root dispersion 10 s", [](auto& p, auto&) { p.rootDispersion = 0x000a'0000; }, ReplyCheck::Accept},
        {"root dispersion 16 s", [](auto& p, auto&) { p.rootDispersion = 0x0010'0000; }, ReplyCheck::Accept},
        {"root dispersion a step over 16 s", [](auto& p, auto&) { p.rootDispersion = 0x0010'0001; },
         ReplyCheck::RootDistanceTooLarge},
        {"root dispersion 65535 s", [](auto& p, auto&) { p.rootDispersion = 0xffff'ffff; },
         ReplyCheck::RootDistanceTooLarge},
        {"root delay 32 s", [](auto& p, auto&) { p.rootDelay = 0x0020'0000; }, ReplyCheck::Accept},
        {"root delay 65535 s", [](auto& p, auto&) { p.rootDelay = 0xffff'ffff; }, ReplyCheck::RootDistanceTooLarge},
        {"half the round trip tips it over",
         [](auto& p, auto& e) { p.rootDispersion = 0x000f'0000, e.receivedAt += 2 * kSecond + 2; },
         ReplyCheck::RootDistanceTooLarge},
        {"a round trip shorter than the server's hold counts as none",
         [](auto& p, auto& e) { p.rootDispersion = 0x0010'0000, e.receivedAt = e.sentAt; }, ReplyCheck::Accept},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        NtpPacket reply = good;
        Stamps exchange = ours;
        c.breakIt(reply, exchange);
        EXPECT_EQ(CheckReply(reply, exchange), c.expected);
    }
}

TEST(NtpWire, RootDistanceIsExactInFixedPoint) {
    // Root delay 3.5 s, dispersion 1.25 s, held a quarter second.
    const NtpPacket reply{.rootDelay = 0x0003'8000, .rootDispersion = 0x0001'4000, .receiveTime = 0xeec2'61b0'0000'0000ULL,
                          .transmitTime = 0xeec2'61b0'4000'0000ULL};
    // 2.75 s from sending to receipt: a round trip of 2.5 s on the wire.
    const Stamps ours{0, reply.receiveTime - (std::uint64_t{1} << 32), reply.receiveTime + 0x0000'0001'c000'0000ULL};
    EXPECT_EQ(RootDistance(reply, ours), 0x0000'0004'4000'0000ULL);  // 1.75 + 1.25 + 1.25 s
}

// Unix time to NTP exactly to the fraction, and the tests' own reading back, which places the
// 32-bit seconds in the era nearest the pivot.
TEST(NtpWire, UnixToNtpExactFractionsAndBackInTheEraNearestThePivot) {
    struct Case {
        UnixTime unix;
        std::uint64_t ntp;
        std::int64_t pivot;
    };
    const Case cases[] = {
        {{0, 0}, 0x83aa'7e80'0000'0000ULL, 0},
        {{0, 500'000'000}, 0x83aa'7e80'8000'0000ULL, 0},
        {{1'796'727'600, 250'000'000}, 0xeec2'61b0'4000'0000ULL, 1'796'727'600},
        {{kEra1StartUnix - 1, 999'999'999}, 0xffff'ffff'ffff'fffcULL, kEra1StartUnix - 1},
        {{kEra1StartUnix - 1, 999'999'999}, 0xffff'ffff'ffff'fffcULL, kEra1StartUnix},
        {{kEra1StartUnix, 0}, 0, kEra1StartUnix},
        {{-kNtpToUnixSeconds, 1}, 5, -kNtpToUnixSeconds},
        {{kEra1StartUnix - 1, 0}, 0xffff'ffff'0000'0000ULL, kEra1StartUnix},
        {{kEra1StartUnix + 1, 0}, 0x0000'0001'0000'0000ULL, kEra1StartUnix - 1},
        {{kEra1StartUnix + 100, 0}, std::uint64_t{100} << 32, 1'796'727'600},  // 2026: 2036 is nearer than 1900
        {{1'796'727'600, 0}, 0xeec2'61b0'0000'0000ULL, 3'786'825'600},  // 2026 read from 2090, still era 0
        {{0x7f00'0000 - kNtpToUnixSeconds, 0}, 0x7f00'0000'0000'0000ULL, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.unix.seconds << " from " << c.pivot);
        EXPECT_EQ(ToNtpTimestamp(c.unix), c.ntp);
        EXPECT_EQ(FromNtpTimestamp(c.ntp, c.pivot), c.unix);
    }
    // And every nanosecond of a second survives the round trip.
    for (std::int64_t nanos = 0; nanos < kBillion; nanos += 7'919) {
        const UnixTime t{1'796'727'600, static_cast<std::uint32_t>(nanos)};
        ASSERT_EQ(FromNtpTimestamp(ToNtpTimestamp(t), t.seconds), t) << nanos;
    }
}

TEST(NtpWire, OffsetOfServerAheadAndBehind) {
    struct Case {
        const char* name;
        std::int64_t sentAt;  // unix nanos of T1
        std::int64_t offset;
        std::int64_t reads = offset;  // what the probe makes of it, when that differs
    };
    constexpr std::int64_t k2026 = 1'796'727'600 * kBillion + 250'000'000;
    constexpr std::int64_t kRollover = kEra1StartUnix * kBillion;
    constexpr std::int64_t kFarOff = (std::int64_t{1} << 31) - 2;
    constexpr std::int64_t kHalfEra = (std::int64_t{1} << 31) * kBillion;
    const Case cases[] = {
        {"ahead", k2026, 1'500'000'000},
        {"behind", k2026, -500'000'000},
        {"agreeing", k2026, 0},
        {"one nanosecond ahead", k2026, 1},
        {"across the rollover, ahead", kRollover - 100'000'000, 150'000'000},
        {"across the rollover, behind", kRollover + 30'000'000, -70'000'000},
        {"far ahead", k2026, kFarOff * kBillion},
        {"far behind", k2026, -kFarOff * kBillion},
        // Both server stamps half an era off: the legs out and back must not cancel.
        {"half an era ahead", k2026, kHalfEra, -kHalfEra},
        {"half an era behind", k2026, -kHalfEra, -kHalfEra},
        {"half an era and a half second ahead", k2026, kHalfEra + 500'000'000, -kHalfEra + 500'000'000},
        {"half an era ahead across the rollover", kRollover - 100'000'000, kHalfEra, -kHalfEra},
    };
    constexpr std::int64_t kPath = 20'000'000;
    constexpr std::int64_t kTurnaround = 1'000'000;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::int64_t serverReceipt = c.sentAt + kPath + c.offset;
        const std::int64_t ourReceipt = c.sentAt + 2 * kPath + kTurnaround;
        EXPECT_EQ(ClockOffsetNanos(NtpAt(c.sentAt), NtpAt(serverReceipt),
                                   NtpAt(serverReceipt + kTurnaround), NtpAt(ourReceipt)),
                  c.reads);
    }
}

TEST(NtpWire, OffsetRoundsToNearestNanosecond) {
    const std::uint64_t t1 = 0xeec2'61b0'0000'0000ULL;
    // Three fraction steps ahead on the way out: 3 * 2^-32 / 2 s = 0.35 ns.
    EXPECT_EQ(ClockOffsetNanos(t1, t1 + 3, t1 + 3, t1 + 3), 0);
    // Eight steps are 1.86 ns, either way.
    EXPECT_EQ(ClockOffsetNanos(t1, t1 + 8, t1 + 8, t1), 2);
    EXPECT_EQ(ClockOffsetNanos(t1 + 8, t1, t1, t1 + 8), -2);
}

}  // namespace
}  // namespace pelldor::exchange
