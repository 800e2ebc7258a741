#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "foundation/time_math.h"

// The NTP packet as it travels, in one place: its layout, its timestamps, its kiss codes.
namespace pelldor::exchange {

inline constexpr std::size_t kNtpPacketSize = 48;
inline constexpr std::uint8_t kNtpVersion = 4;
inline constexpr std::uint8_t kModeClient = 3;
inline constexpr std::uint8_t kModeServer = 4;
inline constexpr std::uint8_t kLeapAlarm = 3;
inline constexpr std::uint8_t kStratumUnsynchronised = 16;
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

// An extension field after the header (RFC 7822): its type, where it starts in the
// packet, and its body with the padding that ends it on a four-byte boundary.
struct ExtensionField {
    std::uint16_t type = 0;
    std::size_t offset = 0;
    std::span<const std::uint8_t> body;
};

// Appends a field of that type, its body padded with zeros to a multiple of four bytes and,
// for old readers, to a field of 16 bytes at least.
void AppendExtensionField(std::vector<std::uint8_t>& packet, std::uint16_t type, std::span<const std::uint8_t> body);
// The fields after the header, in order; none when they do not exactly fill the packet
// (a length below four, not a multiple of four, or past the end).
[[nodiscard]] std::optional<std::vector<ExtensionField>> ExtensionFields(std::span<const std::uint8_t> packet);

// The four-letter code a kiss-o'-death carries in its reference id, printable ASCII only.
[[nodiscard]] std::string KissCode(std::uint32_t referenceId);

// The era is dropped: NTP seconds wrap every 2^32 s (first in 2036).
[[nodiscard]] std::uint64_t ToNtpTimestamp(const platform::UnixTime& time);

}  // namespace pelldor::exchange
