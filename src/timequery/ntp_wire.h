#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "platform/time_math.h"

namespace pelldor::timequery {

inline constexpr std::size_t kNtpPacketSize = 48;
inline constexpr std::uint8_t kNtpVersion = 4;
inline constexpr std::uint8_t kModeClient = 3;
inline constexpr std::uint8_t kModeServer = 4;
inline constexpr std::uint8_t kLeapAlarm = 3;
inline constexpr std::uint8_t kStratumUnsynchronised = 16;
// RFC 5905's MAXDISP, in 32.32 fixed point. Generous on purpose: some systems' time
// services report several seconds of root dispersion while they run on their local clock,
// and their time is still worth checking against ours.
inline constexpr std::uint64_t kMaxRootDistance = std::uint64_t{16} << 32;
// How far the server's hold (T3 - T2) may exceed our whole exchange (T4 - T1) before the
// two contradict each other, in 32.32 fixed point: 1/16 s. A server whose clock ticks in
// 15.6 ms steps reads a hold up to two ticks long (T2 and T3 may each be a tick off), and
// two clocks within NTP's 500 ppm of the true rate part by 1 ms in each second held. A
// reply inside it moves the offset by half of it at most, far below the whole seconds the
// verdict is read in.
inline constexpr std::uint64_t kHoldTolerance = std::uint64_t{1} << 28;
// Seconds from the NTP epoch (1900) to the Unix epoch (1970).
inline constexpr std::int64_t kNtpToUnixSeconds = 2'208'988'800;

// The 48-byte NTP header in host order. Timestamps are the raw 32.32 fixed-point values,
// seconds in the high half, so they can be compared with what was sent bit for bit.
struct NtpPacket {
    std::uint8_t leap = 0;
    std::uint8_t version = 0;
    std::uint8_t mode = 0;
    std::uint8_t stratum = 0;
    std::int8_t poll = 0;
    std::int8_t precision = 0;
    std::uint32_t rootDelay = 0;
    std::uint32_t rootDispersion = 0;
    std::uint32_t referenceId = 0;
    std::uint64_t referenceTime = 0;
    std::uint64_t originTime = 0;
    std::uint64_t receiveTime = 0;
    std::uint64_t transmitTime = 0;

    bool operator==(const NtpPacket&) const = default;
};

// A client request that carries only the cookie, in the transmit field: the server echoes
// it as the origin, and our real send time never leaves the machine.
[[nodiscard]] std::array<std::uint8_t, kNtpPacketSize> EncodeRequest(std::uint64_t transmitCookie);
// Anything past the header (extension fields, a MAC) is ignored.
[[nodiscard]] std::optional<NtpPacket> DecodePacket(std::span<const std::uint8_t> bytes);

enum class ReplyCheck {
    Accept,
    // Not an answer to our request; the query keeps waiting for one.
    NotServerMode,
    BadVersion,
    OriginMismatch,
    // An answer to our request that brings no usable time; it ends the query.
    KissOfDeath,             // DENY, RSTR or RATE: stop asking this server
    KissNotSynchronised,     // any other kiss code (INIT, STEP, ...): not synchronised yet
    LeapAlarm,
    StratumUnsynchronised,
    ZeroTransmit,
    TransmitBeforeReceive,   // negative processing time: the timestamps contradict each other
    HeldLongerThanExchange,  // the server held our request longer than our whole exchange took
    RootDistanceTooLarge,    // the server's own time is too uncertain to judge ours by
};

// Our side of one exchange, as NTP timestamps: the cookie we sent as transmit time, and
// our clock when the request left (T1) and when the reply arrived (T4).
struct Exchange {
    std::uint64_t cookie = 0;
    std::uint64_t sentAt = 0;
    std::uint64_t receivedAt = 0;
};

[[nodiscard]] ReplyCheck CheckReply(const NtpPacket& reply, const Exchange& ours);
// The four-letter code a kiss-o'-death carries in its reference id, printable ASCII only.
[[nodiscard]] std::string KissCode(std::uint32_t referenceId);
// Root delay / 2 + root dispersion + half the round-trip delay of this exchange, in 32.32
// fixed point. A round trip that reads negative (the server's clock ran faster than ours
// while it held the request, within kHoldTolerance) counts as none.
[[nodiscard]] std::uint64_t RootDistance(const NtpPacket& reply, const Exchange& ours);
// delta = (T4 - T1) - (T3 - T2), the round-trip delay on the wire, in signed nanoseconds
// rounded to the nearest; below zero when the server's clock ran faster than ours.
[[nodiscard]] std::int64_t RoundTripNanos(const NtpPacket& reply, const Exchange& ours);

// The era is dropped: NTP seconds wrap every 2^32 s (first in 2036).
[[nodiscard]] std::uint64_t ToNtpTimestamp(const platform::UnixTime& time);

// theta = ((T2 - T1) + (T3 - T4)) / 2 in signed nanoseconds: T1 our send, T2 the server's
// receipt, T3 its send, T4 our receipt.
[[nodiscard]] std::int64_t ClockOffsetNanos(std::uint64_t t1, std::uint64_t t2, std::uint64_t t3,
                                            std::uint64_t t4);

}  // namespace pelldor::timequery
