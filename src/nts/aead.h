#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

// AES-SIV-CMAC-256 (RFC 5297) as NTS uses it, by GnuTLS: one associated-data string and a
// nonce, the tag first in what is sealed.
namespace pelldor::nts {

inline constexpr std::size_t kKeyBytes = 32;
inline constexpr std::size_t kTagBytes = 16;
// NTS asks for nonces of 16 bytes at least; the library refuses none shorter than one.
inline constexpr std::size_t kLeastNonceBytes = 16;

using Key = std::array<std::uint8_t, kKeyBytes>;

// The tag, then the plaintext encrypted.
[[nodiscard]] std::vector<std::uint8_t> Seal(const Key& key, std::span<const std::uint8_t> nonce,
                                             std::span<const std::uint8_t> associated, std::span<const std::uint8_t> plaintext);
// The plaintext when the tag verifies; none when it does not, or the nonce is shorter than
// NTS allows.
[[nodiscard]] std::optional<std::vector<std::uint8_t>> Open(const Key& key, std::span<const std::uint8_t> nonce,
                                                            std::span<const std::uint8_t> associated,
                                                            std::span<const std::uint8_t> sealed);

// Bytes from the library's generator, fit for nonces and identifiers an attacker must not
// guess.
void FillRandom(std::span<std::uint8_t> bytes);

}  // namespace pelldor::nts
