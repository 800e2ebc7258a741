#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "exchange/exchange.h"
#include "nts/aead.h"

// NTS for the exchange core: each request carries a fresh Unique Identifier, a cookie from
// the key exchange and an authenticator over both; a reply counts only when it echoes one
// of our identifiers and its authenticator, last of its fields, verifies with the server's
// key.
namespace pelldor::nts {

// What a key exchange gives the time exchange.
struct Keys {
    Key clientToServer{};
    Key serverToClient{};
    std::vector<std::vector<std::uint8_t>> cookies;
};

class NtsAuthenticator final : public exchange::Authenticator {
public:
    // Where identifiers and nonces come from: the library's generator, or in a fuzzer a
    // source that gives the same bytes every time, so that its runs can be repeated.
    using RandomSource = void (*)(std::span<std::uint8_t>);

    explicit NtsAuthenticator(Keys keys, RandomSource random = FillRandom) : keys_(std::move(keys)), random_(random) {}

    std::vector<std::uint8_t> Extend(std::span<const std::uint8_t> header) override;
    Examined Examine(std::span<const std::uint8_t> reply) override;

private:
    Keys keys_;
    RandomSource random_;
    std::size_t nextCookie_ = 0;
    std::vector<std::vector<std::uint8_t>> identifiers_;  // of the requests sent
};

}  // namespace pelldor::nts
