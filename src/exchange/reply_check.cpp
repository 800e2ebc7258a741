#include "exchange/reply_check.h"

#include "foundation/text.h"

namespace pelldor::exchange {
namespace {

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

// b - a, modulo 2^64 and read as signed.
std::int64_t Difference(std::uint64_t b, std::uint64_t a) { return static_cast<std::int64_t>(b - a); }

// (T4 - T1) - (T3 - T2) in 32.32 fixed point: the time on the wire both ways.
Int128 RoundTrip(const NtpPacket& reply, const Stamps& ours) {
    return static_cast<Int128>(Difference(ours.receivedAt, ours.sentAt)) -
           Difference(reply.transmitTime, reply.receiveTime);
}

// 32.32 fixed point to nanoseconds, rounded to the nearest; `shift` more bits of fraction.
std::int64_t ToNanos(Int128 fixed, int shift) {
    const Int128 scaled = fixed * static_cast<Int128>(kNanosPerSecond);
    return static_cast<std::int64_t>((scaled + (static_cast<Int128>(1) << (31 + shift))) >> (32 + shift));
}

// "16.4": whole seconds and the tenth below them, from 32.32 fixed point.
std::string TenthsOfSeconds(std::uint64_t fixed) {
    const std::uint64_t tenth = ((fixed & 0xffff'ffffU) * 10) >> 32;
    return std::to_string(fixed >> 32) + "." + std::to_string(tenth);
}

// The common texts are glibc's, so that logs read as they always have on Linux.
std::string Reason(const platform::NetFailure& failure) {
    using platform::NetError;
    switch (failure.kind) {
    case NetError::None:
        return "No error";
    case NetError::NameNotFound:
        return "Name or service not known";
    case NetError::NameTemporary:
        return "Temporary failure in name resolution";
    case NetError::NameFailed:
        return "Non-recoverable failure in name resolution";
    case NetError::Refused:
        return "Connection refused";
    case NetError::HostUnreachable:
        return "No route to host";
    case NetError::NetworkUnreachable:
        return "Network is unreachable";
    case NetError::HostDown:
        return "Host is down";
    case NetError::NetworkDown:
        return "Network is down";
    case NetError::AddressFamily:
        return "Address family not supported by protocol";
    case NetError::NoAddressOfFamily:
        return "No address of the family asked for";
    case NetError::AddressNotAvailable:
        return "Cannot assign requested address";
    case NetError::PermissionDenied:
        return "Permission denied";
    case NetError::OutOfResources:
        return "Out of sockets, memory or threads";
    case NetError::Other:
        break;
    }
    return "Unexpected network error " + std::to_string(failure.systemCode);
}

}  // namespace

ReplyCheck CheckReply(const NtpPacket& reply, const Stamps& ours) {
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
    if (reply.stratum == 0 || reply.stratum >= kStratumUnsynchronised) return ReplyCheck::StratumUnsynchronised;
    if (reply.transmitTime == 0) return ReplyCheck::ZeroTransmit;
    // Compared modulo 2^64, as everything else, so an era rollover between the two is no
    // reason to reject; equal timestamps are a server too quick to measure.
    const std::int64_t hold = Difference(reply.transmitTime, reply.receiveTime);
    if (hold < 0) return ReplyCheck::TransmitBeforeReceive;
    if (static_cast<Int128>(hold) - Difference(ours.receivedAt, ours.sentAt) > kHoldTolerance) {
        return ReplyCheck::HeldLongerThanExchange;
    }
    if (RootDistance(reply, ours) > kMaxRootDistance) return ReplyCheck::RootDistanceTooLarge;
    return ReplyCheck::Accept;
}

std::uint64_t RootDistance(const NtpPacket& reply, const Stamps& ours) {
    // 16.16 on the wire; shifted, they are 32.32 like the timestamps.
    const Int128 rootDelay = static_cast<Int128>(reply.rootDelay) << 16;
    const Int128 rootDispersion = static_cast<Int128>(reply.rootDispersion) << 16;
    const Int128 roundTrip = RoundTrip(reply, ours);
    // Below 2^47 + 2^48 + 2^63 in all, so it fits 64 bits whatever the wire says.
    return static_cast<std::uint64_t>(rootDelay / 2 + rootDispersion + (roundTrip > 0 ? roundTrip / 2 : 0));
}

std::int64_t RoundTripNanos(const NtpPacket& reply, const Stamps& ours) { return ToNanos(RoundTrip(reply, ours), 0); }

std::int64_t ClockOffsetNanos(std::uint64_t t1, std::uint64_t t2, std::uint64_t t3, std::uint64_t t4) {
    // Twice theta, so that the halving and leaving 32.32 are one rounded shift. The half of
    // the two durations that is added to (T2 - T1) may carry it past half an era: the sum
    // is brought back into [-2^31, 2^31) s, one era being 2^65 here.
    constexpr Int128 kHalfEra = static_cast<Int128>(1) << 64;
    Int128 twice = static_cast<Int128>(Difference(t2, t1)) * 2 + Difference(t3, t2) - Difference(t4, t1);
    if (twice >= kHalfEra) twice -= 2 * kHalfEra;
    if (twice < -kHalfEra) twice += 2 * kHalfEra;
    return ToNanos(twice, 1);
}

std::int64_t FixedToNanos(std::int64_t fixed) { return ToNanos(fixed, 0); }

std::optional<Rejection> RejectionOf(ReplyCheck check, const NtpPacket& reply, const Stamps& ours) {
    switch (check) {
    case ReplyCheck::Accept:
    case ReplyCheck::NotServerMode:
    case ReplyCheck::BadVersion:
    case ReplyCheck::OriginMismatch:
        return std::nullopt;
    case ReplyCheck::KissOfDeath:
        return Rejection{Notice::KissOfDeath, notice::KissOfDeath(KissCode(reply.referenceId))};
    case ReplyCheck::KissNotSynchronised:
        return Rejection{Notice::Unsynchronised, "Server not synchronised (kiss code " + KissCode(reply.referenceId) + ")"};
    case ReplyCheck::LeapAlarm:
        return Rejection{Notice::Unsynchronised, "Server not synchronised (leap indicator 3)"};
    case ReplyCheck::StratumUnsynchronised:
        return Rejection{Notice::Unsynchronised, "Server not synchronised (stratum " + std::to_string(reply.stratum) + ")"};
    case ReplyCheck::ZeroTransmit:
        return Rejection{Notice::BadReply, "Invalid reply: zero transmit timestamp"};
    case ReplyCheck::TransmitBeforeReceive:
        return Rejection{Notice::BadReply, "Invalid reply: transmit timestamp before receive timestamp"};
    case ReplyCheck::HeldLongerThanExchange:
        return Rejection{Notice::BadReply, "Invalid reply: server held the request longer than the exchange took"};
    case ReplyCheck::RootDistanceTooLarge:
        return Rejection{Notice::BadReply,
                         "Invalid reply: root distance " + TenthsOfSeconds(RootDistance(reply, ours)) + " s (limit 16 s)"};
    }
    return std::nullopt;
}

namespace notice {

std::string NoHost() { return "No host given"; }

std::string InvalidPort(std::int32_t port) { return "Invalid port " + std::to_string(port) + " (must be 1 to 65535)"; }

std::string HostNotFound(const platform::NetFailure& why) { return "Host not found: " + Reason(why); }

std::string NetworkError(const platform::NetFailure& why) { return "Network error: " + Reason(why); }

std::string TimedOut(std::int64_t afterNanos) { return "No answer within " + SecondsText(afterNanos); }

std::string KissOfDeath(std::string_view code) { return "Kiss-o'-death from server: " + std::string(code); }

std::string NtsRefused() { return "NTS NAK from server (kiss code NTSN): it refused our cookie"; }

std::string NotAuthentic(std::string_view why) { return "Not authenticated: " + std::string(why); }

}  // namespace notice
}  // namespace pelldor::exchange
