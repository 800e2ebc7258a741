// Arbitrary datagrams through the NTP decoder, the reply checks and the offset arithmetic,
// each held against an oracle written apart from it.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "exchange/reply_check.h"
#include "fuzz_check.h"
#include "support/ntp_packets.h"

namespace pelldor::fuzz {
namespace {

using namespace pelldor::exchange;
using platform::UnixTime;
using Uint128 = unsigned __int128;

constexpr std::uint64_t kFixedCookie = 0x0123456789abcdefULL;
constexpr std::int64_t kBillion = 1'000'000'000;

// An ordinary day, just before the 2036 era rollover (the reply path crosses it), and a
// second before a new year.
constexpr std::array<UnixTime, 3> kLocalClocks = {{
    {1796727600, 250'000'000},
    {2085978495, 980'000'000},
    {946684799, 999'000'000},
}};
constexpr std::int64_t kPathNanos = 40'000'000;

std::uint64_t ReadBe(const std::uint8_t* bytes, std::size_t count) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < count; ++i) value = value * 256 + bytes[i];
    return value;
}

// Every field from its own octets: the header again as the tests' own encoder writes it,
// which the golden reply of the unit tests holds to the wire format.
void CheckFields(const NtpPacket& p, const std::uint8_t* b) {
    const auto encoded = testing::PacketBytes(p);
    Check(std::equal(encoded.begin(), encoded.end(), b), "a field was decoded from the wrong octets");
    Check(DecodePacket(encoded) == p, "decoding an encoded packet changed it");
}

bool SaysStop(std::uint32_t referenceId) {
    return referenceId == 0x44454e59 || referenceId == 0x52535452 || referenceId == 0x52415445;  // DENY RSTR RATE
}

// The root distance in units of 2^-33 s, so that every half is whole: twice root delay / 2
// + root dispersion + half the round trip, with a round trip below zero counted as none.
Int128 TwiceRootDistance(const NtpPacket& p, const Stamps& ours) {
    const Int128 roundTrip = static_cast<Int128>(static_cast<std::int64_t>(ours.receivedAt - ours.sentAt)) -
                             static_cast<std::int64_t>(p.transmitTime - p.receiveTime);
    return (static_cast<Int128>(p.rootDelay) << 16) + (static_cast<Int128>(p.rootDispersion) << 17) +
           (roundTrip > 0 ? roundTrip : 0);
}

ReplyCheck CheckClassification(const NtpPacket& p, const Stamps& ours) {
    const ReplyCheck check = CheckReply(p, ours);
    const std::uint64_t cookie = ours.cookie;
    const bool answersUs = p.mode == kModeServer && p.version >= 1 && p.version <= kNtpVersion &&
                           p.originTime == cookie;
    // What answers no request of ours the client only ignores.
    const bool ignored = check == ReplyCheck::NotServerMode || check == ReplyCheck::BadVersion ||
                         check == ReplyCheck::OriginMismatch;
    Check(ignored == !answersUs, "ignored although it answers our request, or the reverse");

    const auto first = static_cast<std::uint8_t>(p.referenceId >> 24);
    const bool kiss = first >= 0x21 && first <= 0x7e;
    Check((check == ReplyCheck::KissOfDeath) == (answersUs && p.stratum == 0 && SaysStop(p.referenceId)),
          "a kiss-o'-death is exactly stratum 0 with DENY, RSTR or RATE");
    Check((check == ReplyCheck::KissNotSynchronised) == (answersUs && p.stratum == 0 && kiss && !SaysStop(p.referenceId)),
          "a kiss that is not DENY, RSTR or RATE reads as not synchronised, and only such a kiss");

    const bool ordered = static_cast<std::int64_t>(p.transmitTime - p.receiveTime) >= 0;
    const Int128 distance2 = TwiceRootDistance(p, ours);
    constexpr Int128 kLimit2 = static_cast<Int128>(kMaxRootDistance) * 2;
    // Halving in 32.32 may round by one step either way at the limit itself.
    const bool tooFar = distance2 > kLimit2 + 2;
    const bool nearEnough = distance2 <= kLimit2;
    const Int128 reported2 = static_cast<Int128>(RootDistance(p, ours)) * 2;
    Check(reported2 <= distance2 && distance2 - reported2 <= 2, "RootDistance is not the sum of its parts");

    // The server's hold beyond our whole exchange, both read as signed differences.
    const Int128 excess = static_cast<Int128>(static_cast<std::int64_t>(p.transmitTime - p.receiveTime)) -
                          static_cast<std::int64_t>(ours.receivedAt - ours.sentAt);
    const bool consistent = excess <= static_cast<Int128>(kHoldTolerance);
    const bool usable = answersUs && p.stratum >= 1 && p.stratum < kStratumUnsynchronised &&
                        p.leap != kLeapAlarm && p.transmitTime != 0 && ordered && consistent;
    if (check == ReplyCheck::Accept) {
        Check(usable, "accepted a reply with no usable time");
        Check(!tooFar, "accepted a reply whose root distance is above 16 s");
    }
    if (usable && nearEnough) Check(check == ReplyCheck::Accept, "refused a good reply");
    if (check == ReplyCheck::LeapAlarm) Check(p.leap == kLeapAlarm, "a leap alarm without the alarm bits");
    if (check == ReplyCheck::StratumUnsynchronised) Check(p.stratum == 0 || p.stratum >= kStratumUnsynchronised, "stratum");
    if (check == ReplyCheck::ZeroTransmit) Check(p.transmitTime == 0, "zero transmit with a transmit time");
    if (check == ReplyCheck::TransmitBeforeReceive) Check(!ordered, "transmit before receive on ordered timestamps");
    if (check == ReplyCheck::HeldLongerThanExchange) Check(ordered && !consistent, "a hold within our exchange was refused");
    if (check == ReplyCheck::RootDistanceTooLarge) Check(!nearEnough, "a root distance within 16 s was refused");

    // Our timestamps matter to the server's hold and the root distance alone.
    const ReplyCheck timeless = CheckReply(p, {cookie, 0, 0});
    const auto onOurClock = [](ReplyCheck c) {
        return c == ReplyCheck::Accept || c == ReplyCheck::HeldLongerThanExchange || c == ReplyCheck::RootDistanceTooLarge;
    };
    Check(timeless == check || (onOurClock(timeless) && onOurClock(check)),
          "our own timestamps changed the verdict on more than the hold and the root distance");

    // Trailing NUL octets shorten the code; every other octet stays in its place.
    const std::string code = KissCode(p.referenceId);
    std::size_t length = 4;
    while (length > 0 && static_cast<std::uint8_t>(p.referenceId >> (32 - 8 * length)) == 0) --length;
    Check(code.size() == length, "the kiss code is not the reference id less its trailing NULs");
    if (kiss) Check(!code.empty() && static_cast<std::uint8_t>(code[0]) == first, "a kiss code lost its first letter");
    for (std::size_t i = 0; i < code.size(); ++i) {
        const auto c = static_cast<std::uint8_t>(code[i]);
        Check(c >= 0x20 && c <= 0x7e, "the kiss code is not printable ASCII");
        const auto sent = static_cast<std::uint8_t>(p.referenceId >> (24 - 8 * i));
        if (sent >= 0x20 && sent <= 0x7e) Check(c == sent, "a printable kiss code character was changed");
    }
    return check;
}

// 2^32 s, an era, in units of 2^-33 s.
constexpr Uint128 kEra = Uint128{1} << 65;

// Twice the instant halfway between two stamps of one clock, modulo an era: the second read
// from the first by their signed distance, which no era boundary between them changes.
Uint128 TwiceMidpoint(std::uint64_t first, std::uint64_t second) {
    const auto span = static_cast<Int128>(static_cast<std::int64_t>(second - first));
    return (Uint128{first} * 2 + static_cast<Uint128>(span)) % kEra;
}

void CheckOffset(const NtpPacket& p, const Stamps& ours, bool accepted) {
    const std::int64_t offset = ClockOffsetNanos(ours.sentAt, p.receiveTime, p.transmitTime, ours.receivedAt);
    // The true offset is the server's midpoint less ours, known only modulo an era: read in
    // [-2^31, 2^31) s. Both differ from the offset read, in units of 2^-33 s by 10^9.
    const auto wrapped = static_cast<Int128>((TwiceMidpoint(p.receiveTime, p.transmitTime) + kEra -
                                              TwiceMidpoint(ours.sentAt, ours.receivedAt)) % kEra);
    const Int128 era = static_cast<Int128>(kEra);
    const Int128 error = Int128{offset} * (Int128{1} << 33) - (wrapped >= era / 2 ? wrapped - era : wrapped) * kBillion;
    const Int128 aside = (error % (era * kBillion) + era * kBillion * 3 / 2) % (era * kBillion) - era * kBillion / 2;
    constexpr Int128 kNano = Int128{1} << 33;
    Check(aside >= -kNano && aside <= kNano, "the offset is not the true offset modulo an era: two legs cancelled");
    if (accepted) Check(error >= -kNano && error <= kNano, "a usable offset lies outside [-2^31, 2^31) s");
}

void Examine(const NtpPacket& p, std::uint64_t cookie, const std::optional<Stamps>& chosen) {
    for (const UnixTime& local : kLocalClocks) {
        const Stamps ours{cookie, ToNtpTimestamp(local), ToNtpTimestamp(AddNanos(local, kPathNanos))};
        CheckOffset(p, ours, CheckClassification(p, ours) == ReplyCheck::Accept);
    }
    if (chosen) CheckOffset(p, *chosen, CheckClassification(p, *chosen) == ReplyCheck::Accept);
}

}  // namespace
}  // namespace pelldor::fuzz

// The input is the datagram; when it is long enough, its octets 48 to 55 (past the header,
// where extension fields would be) are the cookie we sent, else a fixed one, and octets 56
// to 71 our send and receive timestamps, for one exchange besides those of fixed clocks.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace pelldor::fuzz;
    using namespace pelldor::exchange;
    const auto decoded = DecodePacket(std::span<const std::uint8_t>(data, size));
    Check(decoded.has_value() == (size >= kNtpPacketSize), "a packet decoded although short, or the reverse");
    if (!decoded) return 0;
    CheckFields(*decoded, data);

    const std::uint64_t cookie = size >= kNtpPacketSize + 8 ? ReadBe(data + kNtpPacketSize, 8) : kFixedCookie;
    std::optional<Stamps> chosen;
    if (size >= kNtpPacketSize + 24) {
        chosen = Stamps{cookie, ReadBe(data + kNtpPacketSize + 8, 8), ReadBe(data + kNtpPacketSize + 16, 8)};
    }
    Examine(*decoded, cookie, chosen);

    // The same datagram as if it answered our request: the cookie in the origin field.
    std::vector<std::uint8_t> echoed(data, data + size);
    for (int i = 0; i < 8; ++i) echoed[24 + i] = static_cast<std::uint8_t>(cookie >> (56 - 8 * i));
    const auto answer = DecodePacket(echoed);
    Check(answer.has_value() && answer->originTime == cookie, "the cookie written as origin did not read back");
    Examine(*answer, cookie, chosen);
    return 0;
}
