#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

// The records of an NTS key exchange (RFC 8915, section 4): what the client asks for, and
// what the server's answer gives, read without trusting a byte of it.
namespace pelldor::nts {

enum RecordType : std::uint16_t {
    kEndOfMessage = 0,
    kNextProtocol = 1,
    kError = 2,
    kWarning = 3,
    kAeadAlgorithm = 4,
    kNewCookie = 5,
    kServer = 6,
    kPort = 7,
};

inline constexpr std::uint16_t kProtocolNtpV4 = 0;
inline constexpr std::uint16_t kAeadAesSivCmac256 = 15;
// A server's answer is a handful of records with eight cookies at most; one far larger is
// no answer of a key-exchange server.
inline constexpr std::size_t kMostResponseBytes = 16384;

// One record as it goes on the wire: the critical bit, the type, the body's length.
[[nodiscard]] std::vector<std::uint8_t> Record(std::uint16_t type, bool critical, std::span<const std::uint8_t> body);
// The client's request: NTPv4 as the next protocol, AES-SIV-CMAC-256, End of Message.
[[nodiscard]] std::vector<std::uint8_t> KeRequest();

struct KeResponse {
    std::vector<std::uint16_t> protocols;
    std::vector<std::uint16_t> algorithms;
    std::vector<std::vector<std::uint8_t>> cookies;
    std::optional<std::string> server;
    std::optional<std::uint16_t> port;
    std::optional<std::uint16_t> error;
    std::optional<std::uint16_t> warning;
};

enum class KeParse { Complete, Incomplete, Invalid };

struct KeParsed {
    KeParse status = KeParse::Incomplete;
    KeResponse response;
    std::string problem;  // for Invalid, what is wrong
};

// The records up to End of Message; Incomplete while more bytes are needed.
[[nodiscard]] KeParsed ParseKeResponse(std::span<const std::uint8_t> bytes);

// Why a complete answer gives no keys, as a person reads it; empty when it does.
[[nodiscard]] std::string KeRefusal(const KeResponse& response);

}  // namespace pelldor::nts
