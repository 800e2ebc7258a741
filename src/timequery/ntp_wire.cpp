#include "timequery/ntp_wire.h"

#include <cassert>

namespace pelldor::timequery {
namespace {

using platform::Int128;
constexpr auto kNanosPerSecond = static_cast<std::uint64_t>(platform::kNanosPerSecond);

std::uint32_t LoadBe32(std::span<const std::uint8_t, 4> bytes) {
    std::uint32_t value = 0;
    for (const std::uint8_t b : bytes) value = (value << 8) | b;
    return value;
}

std::uint64_t LoadBe64(std::span<const std::uint8_t, 8> bytes) {
    std::uint64_t value = 0;
    for (const std::uint8_t b : bytes) value = (value << 8) | b;
    return value;
}

void StoreBe32(std::uint32_t value, std::span<std::uint8_t, 4> bytes) {
    for (std::size_t i = bytes.size(); i-- > 0; value >>= 8) bytes[i] = static_cast<std::uint8_t>(value);
}

void StoreBe64(std::uint64_t value, std::span<std::uint8_t, 8> bytes) {
    for (std::size_t i = bytes.size(); i-- > 0; value >>= 8) bytes[i] = static_cast<std::uint8_t>(value);
}

std::array<std::uint8_t, kNtpPacketSize> EncodePacket(const NtpPacket& p) {
    assert(p.leap < 4 && p.version < 8 && p.mode < 8);
    std::array<std::uint8_t, kNtpPacketSize> out{};
    const std::span<std::uint8_t, kNtpPacketSize> s(out);
    out[0] = static_cast<std::uint8_t>((p.leap << 6) | (p.version << 3) | p.mode);
    out[1] = p.stratum;
    out[2] = static_cast<std::uint8_t>(p.poll);
    out[3] = static_cast<std::uint8_t>(p.precision);
    StoreBe32(p.rootDelay, s.subspan<4, 4>());
    StoreBe32(p.rootDispersion, s.subspan<8, 4>());
    StoreBe32(p.referenceId, s.subspan<12, 4>());
    StoreBe64(p.referenceTime, s.subspan<16, 8>());
    StoreBe64(p.originTime, s.subspan<24, 8>());
    StoreBe64(p.receiveTime, s.subspan<32, 8>());
    StoreBe64(p.transmitTime, s.subspan<40, 8>());
    return out;
}

// A kiss code starts with a printable character; stratum 0 with anything else in the
// reference id is no kiss.
bool HasKissCode(std::uint32_t referenceId) {
    const auto first = static_cast<std::uint8_t>(referenceId >> 24);
    return first > 0x20 && first <= 0x7e;
}

// DENY, RSTR and RATE ask the client to stop sending; RFC 5905 7.4.
bool KissSaysStop(std::uint32_t referenceId) {
    constexpr std::uint32_t kDeny = 0x44454e59;
    constexpr std::uint32_t kRstr = 0x52535452;
    constexpr std::uint32_t kRate = 0x52415445;
    return referenceId == kDeny || referenceId == kRstr || referenceId == kRate;
}

// (T4 - T1) - (T3 - T2) in 32.32 fixed point: the time on the wire both ways. Each
// difference is taken modulo 2^64 and read as signed, so an era rollover is no matter;
// their difference needs one bit more than 64.
Int128 RoundTrip(const NtpPacket& reply, const Exchange& ours) {
    return static_cast<Int128>(static_cast<std::int64_t>(ours.receivedAt - ours.sentAt)) -
           static_cast<std::int64_t>(reply.transmitTime - reply.receiveTime);
}

}  // namespace

std::array<std::uint8_t, kNtpPacketSize> EncodeRequest(std::uint64_t transmitCookie) {
    NtpPacket request;
    request.version = kNtpVersion;
    request.mode = kModeClient;
    request.transmitTime = transmitCookie;
    return EncodePacket(request);
}

std::optional<NtpPacket> DecodePacket(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < kNtpPacketSize) return std::nullopt;
    const auto s = bytes.first<kNtpPacketSize>();
    NtpPacket p;
    p.leap = static_cast<std::uint8_t>(s[0] >> 6);
    p.version = static_cast<std::uint8_t>((s[0] >> 3) & 7);
    p.mode = static_cast<std::uint8_t>(s[0] & 7);
    p.stratum = s[1];
    p.poll = static_cast<std::int8_t>(s[2]);
    p.precision = static_cast<std::int8_t>(s[3]);
    p.rootDelay = LoadBe32(s.subspan<4, 4>());
    p.rootDispersion = LoadBe32(s.subspan<8, 4>());
    p.referenceId = LoadBe32(s.subspan<12, 4>());
    p.referenceTime = LoadBe64(s.subspan<16, 8>());
    p.originTime = LoadBe64(s.subspan<24, 8>());
    p.receiveTime = LoadBe64(s.subspan<32, 8>());
    p.transmitTime = LoadBe64(s.subspan<40, 8>());
    return p;
}

ReplyCheck CheckReply(const NtpPacket& reply, const Exchange& ours) {
    // What could be a stray or forged datagram is only ignored, so it can neither end the
    // query nor make it give up (a forged kiss-o'-death lacks our cookie).
    if (reply.mode != kModeServer) return ReplyCheck::NotServerMode;
    if (reply.version < 1 || reply.version > kNtpVersion) return ReplyCheck::BadVersion;
    if (reply.originTime != ours.cookie) return ReplyCheck::OriginMismatch;
    // A kiss-o'-death usually carries the alarm leap indicator as well; its code matters more.
    if (reply.stratum == 0 && HasKissCode(reply.referenceId)) {
        return KissSaysStop(reply.referenceId) ? ReplyCheck::KissOfDeath : ReplyCheck::KissNotSynchronised;
    }
    if (reply.leap == kLeapAlarm) return ReplyCheck::LeapAlarm;
    // Stratum 0 without a kiss code is how an unsynchronised server sends stratum 16.
    if (reply.stratum == 0 || reply.stratum >= kStratumUnsynchronised) {
        return ReplyCheck::StratumUnsynchronised;
    }
    if (reply.transmitTime == 0) return ReplyCheck::ZeroTransmit;
    // Compared modulo 2^64, as everything else, so an era rollover between the two is no
    // reason to reject; equal timestamps are a server too quick to measure.
    if (static_cast<std::int64_t>(reply.transmitTime - reply.receiveTime) < 0) {
        return ReplyCheck::TransmitBeforeReceive;
    }
    const Int128 hold = static_cast<std::int64_t>(reply.transmitTime - reply.receiveTime);
    if (hold - static_cast<std::int64_t>(ours.receivedAt - ours.sentAt) > kHoldTolerance) {
        return ReplyCheck::HeldLongerThanExchange;
    }
    if (RootDistance(reply, ours) > kMaxRootDistance) return ReplyCheck::RootDistanceTooLarge;
    return ReplyCheck::Accept;
}

std::uint64_t RootDistance(const NtpPacket& reply, const Exchange& ours) {
    // 16.16 on the wire; shifted, they are 32.32 like the timestamps.
    const Int128 rootDelay = static_cast<Int128>(reply.rootDelay) << 16;
    const Int128 rootDispersion = static_cast<Int128>(reply.rootDispersion) << 16;
    const Int128 roundTrip = RoundTrip(reply, ours);
    // Below 2^47 + 2^48 + 2^63 in all, so it fits 64 bits whatever the wire says.
    return static_cast<std::uint64_t>(rootDelay / 2 + rootDispersion + (roundTrip > 0 ? roundTrip / 2 : 0));
}

std::int64_t RoundTripNanos(const NtpPacket& reply, const Exchange& ours) {
    const Int128 scaled = RoundTrip(reply, ours) * static_cast<Int128>(kNanosPerSecond);
    return static_cast<std::int64_t>((scaled + (static_cast<Int128>(1) << 31)) >> 32);
}

std::string KissCode(std::uint32_t referenceId) {
    std::string code(4, '?');
    for (std::size_t i = 0; i < code.size(); ++i) {
        const auto c = static_cast<std::uint8_t>(referenceId >> (24 - 8 * i));
        if (c >= 0x20 && c <= 0x7e) code[i] = static_cast<char>(c);
    }
    // Codes shorter than four characters are padded with NULs.
    while (!code.empty() && (referenceId & 0xff) == 0) {
        code.pop_back();
        referenceId >>= 8;
    }
    return code;
}

std::uint64_t ToNtpTimestamp(const platform::UnixTime& time) {
    assert(time.nanos < kNanosPerSecond);
    const auto seconds = static_cast<std::uint32_t>(time.seconds + kNtpToUnixSeconds);
    // Rounded up, so that a reader rounding down gets the same nanoseconds back: one
    // fraction step is finer than a nanosecond.
    const std::uint64_t fraction =
        ((static_cast<std::uint64_t>(time.nanos) << 32) + kNanosPerSecond - 1) / kNanosPerSecond;
    return (static_cast<std::uint64_t>(seconds) << 32) | fraction;
}

std::int64_t ClockOffsetNanos(std::uint64_t t1, std::uint64_t t2, std::uint64_t t3, std::uint64_t t4) {
    // Differences modulo 2^64 read as signed are right across an era rollover between the
    // timestamps; their sum needs one bit more than 64.
    const auto outbound = static_cast<std::int64_t>(t2 - t1);
    const auto inbound = static_cast<std::int64_t>(t3 - t4);
    const Int128 sum = static_cast<Int128>(outbound) + inbound;
    const Int128 scaled = sum * static_cast<Int128>(kNanosPerSecond);
    // Halving and leaving 32.32 in one shift, rounded to the nearest nanosecond.
    return static_cast<std::int64_t>((scaled + (static_cast<Int128>(1) << 32)) >> 33);
}

}  // namespace pelldor::timequery
