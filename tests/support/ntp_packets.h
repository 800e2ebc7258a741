#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "foundation/time_math.h"
#include "exchange/ntp_wire.h"

// NTP packets and timestamps as the tests build and read them, written apart from the
// product's own code so that a fault there cannot hide behind the same fault here.
namespace pelldor::testing {

// The 48 octets of a header, big-endian.
[[nodiscard]] inline std::vector<std::uint8_t> PacketBytes(const exchange::NtpPacket& p) {
    std::vector<std::uint8_t> out;
    const auto put = [&out](std::uint64_t value, int octets) {
        for (int shift = 8 * (octets - 1); shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(value >> shift));
    };
    put(static_cast<std::uint64_t>(p.leap & 3) << 6 | (p.version & 7) << 3 | (p.mode & 7), 1);
    put(p.stratum, 1);
    put(static_cast<std::uint8_t>(p.poll), 1);
    put(static_cast<std::uint8_t>(p.precision), 1);
    put(p.rootDelay, 4);
    put(p.rootDispersion, 4);
    put(p.referenceId, 4);
    for (const std::uint64_t stamp : {p.referenceTime, p.originTime, p.receiveTime, p.transmitTime}) put(stamp, 8);
    return out;
}

// Reads an NTP timestamp back as Unix time, placing its 32-bit seconds in the era nearest
// the pivot, with the fraction rounded down: the tests' oracle for the probe's own
// ToNtpTimestamp, which the probe never needs to undo.
[[nodiscard]] inline platform::UnixTime FromNtpTimestamp(std::uint64_t ntp, std::int64_t pivotUnixSeconds) {
    const std::int64_t pivot = pivotUnixSeconds + exchange::kNtpToUnixSeconds;
    const auto seconds = static_cast<std::uint32_t>(ntp >> 32);
    const auto ahead = static_cast<std::int32_t>(seconds - static_cast<std::uint32_t>(pivot));
    const auto nanos = (ntp & 0xffff'ffffU) * static_cast<std::uint64_t>(kNanosPerSecond) >> 32;
    return platform::UnixTime{pivot + ahead - exchange::kNtpToUnixSeconds, static_cast<std::uint32_t>(nanos)};
}

// A kiss code as the reference id carries it, NUL-padded: Code("NTS") is 0x4e545300.
template <std::size_t N>
constexpr std::uint32_t Code(const char (&text)[N]) {
    std::uint32_t id = 0;
    for (std::size_t i = 0; i < 4; ++i) id = id << 8 | (i + 1 < N ? static_cast<std::uint8_t>(text[i]) : 0U);
    return id;
}

// Spoils a reply into a kiss: stratum 0, the code as reference id, these leap bits.
inline auto Kiss(std::uint32_t referenceId, std::uint8_t leap = 0) {
    return [=](exchange::NtpPacket& p, auto&&...) { p.stratum = 0, p.leap = leap, p.referenceId = referenceId; };
}
template <std::size_t N>
auto Kiss(const char (&code)[N], std::uint8_t leap = 0) {
    return Kiss(Code(code), leap);
}

// An instant given in Unix nanoseconds, as the NTP timestamp the probe would send for it.
[[nodiscard]] inline std::uint64_t NtpAt(std::int64_t unixNanos) {
    return exchange::ToNtpTimestamp(AddNanos(platform::UnixTime{}, unixNanos));
}

}  // namespace pelldor::testing
