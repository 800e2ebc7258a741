#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "exchange/ntp_wire.h"
#include "platform/network.h"

// What a reply is worth: the named checks it must pass, the measures it gives, and the
// notices the client reports when a query brings no time, with their texts, in one place.
namespace pelldor::exchange {

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

// Our side of one exchange, as NTP timestamps: the cookie we sent as transmit time, and
// our clock when the request left (T1) and when the reply arrived (T4).
struct Stamps {
    std::uint64_t cookie = 0;
    std::uint64_t sentAt = 0;
    std::uint64_t receivedAt = 0;
};

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

[[nodiscard]] ReplyCheck CheckReply(const NtpPacket& reply, const Stamps& ours);

// Root delay / 2 + root dispersion + half the round-trip delay of this exchange, in 32.32
// fixed point. A round trip that reads negative (the server's clock ran faster than ours
// while it held the request, within kHoldTolerance) counts as none.
[[nodiscard]] std::uint64_t RootDistance(const NtpPacket& reply, const Stamps& ours);
// delta = (T4 - T1) - (T3 - T2), the round-trip delay on the wire, in signed nanoseconds
// rounded to the nearest; below zero when the server's clock ran faster than ours.
[[nodiscard]] std::int64_t RoundTripNanos(const NtpPacket& reply, const Stamps& ours);
// theta, the server's clock minus ours, in signed nanoseconds rounded to the nearest: T1
// our send, T2 the server's receipt, T3 its send, T4 our receipt. Each difference of two
// timestamps is taken modulo 2^64 and read as signed, so an era rollover between them is
// no matter; only one of them spans the two clocks, (T2 - T1), and the rest is derived
// from it and from differences on one clock: theta = (T2 - T1) + ((T3 - T2) - (T4 - T1))/2.
// A server half an era away thus reads as half an era away, whatever its two stamps say.
[[nodiscard]] std::int64_t ClockOffsetNanos(std::uint64_t t1, std::uint64_t t2, std::uint64_t t3,
                                            std::uint64_t t4);
// A signed 32.32 fixed-point duration in nanoseconds, rounded to the nearest.
[[nodiscard]] std::int64_t FixedToNanos(std::int64_t fixed);

// Why a query brought no time. The numbers are the codes of the drop-in's error notices.
enum class Notice : std::int16_t {
    None = 0,
    NoHost = 1,
    InvalidPort = 2,
    HostNotFound = 3,
    NetworkError = 4,
    TimedOut = 5,
    KissOfDeath = 6,
    Unsynchronised = 7,
    BadReply = 8,
};

struct Rejection {
    Notice notice = Notice::None;
    std::string text;
};

// What a query hears of a reply that answers it without a usable time; nothing for one
// that answers no request of ours (ignored) or is accepted.
[[nodiscard]] std::optional<Rejection> RejectionOf(ReplyCheck check, const NtpPacket& reply, const Stamps& ours);

// The texts of the notices that no reply gives. The reasons of a failed lookup or of the
// network are fixed English texts, the same on every platform.
namespace notice {
[[nodiscard]] std::string NoHost();
[[nodiscard]] std::string InvalidPort(std::int32_t port);
[[nodiscard]] std::string HostNotFound(const platform::NetFailure& why);
[[nodiscard]] std::string NetworkError(const platform::NetFailure& why);
[[nodiscard]] std::string TimedOut(std::int64_t afterNanos);
[[nodiscard]] std::string KissOfDeath(std::string_view code);
// Only for an exchange with an authenticator.
[[nodiscard]] std::string NtsRefused();
[[nodiscard]] std::string NotAuthentic(std::string_view why);
}  // namespace notice

}  // namespace pelldor::exchange
