#include "exchange/ntp_wire.h"

#include <algorithm>
#include <cassert>

namespace pelldor::exchange {
namespace {

constexpr auto kNanosPerSecond = static_cast<std::uint64_t>(pelldor::kNanosPerSecond);

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

void AppendExtensionField(std::vector<std::uint8_t>& packet, std::uint16_t type, std::span<const std::uint8_t> body) {
    const std::size_t length = std::max<std::size_t>(4 + (body.size() + 3) / 4 * 4, 16);
    assert(length <= 0xffff);
    for (const std::size_t value : {std::size_t{type}, length}) {
        packet.push_back(static_cast<std::uint8_t>(value >> 8));
        packet.push_back(static_cast<std::uint8_t>(value));
    }
    packet.insert(packet.end(), body.begin(), body.end());
    packet.resize(packet.size() + length - 4 - body.size(), 0);
}

std::optional<std::vector<ExtensionField>> ExtensionFields(std::span<const std::uint8_t> packet) {
    std::vector<ExtensionField> fields;
    for (std::size_t at = kNtpPacketSize; at < packet.size();) {
        if (packet.size() - at < 4) return std::nullopt;
        const auto type = static_cast<std::uint16_t>(packet[at] << 8 | packet[at + 1]);
        const std::size_t length = static_cast<std::size_t>(packet[at + 2] << 8 | packet[at + 3]);
        if (length < 4 || length % 4 != 0 || length > packet.size() - at) return std::nullopt;
        fields.push_back({type, at, packet.subspan(at + 4, length - 4)});
        at += length;
    }
    return fields;
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

}  // namespace pelldor::exchange
