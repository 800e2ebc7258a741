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
    explicit NtsAuthenticator(Keys keys) : keys_(std::move(keys)) {}

    std::vector<std::uint8_t> Extend(std::span<const std::uint8_t> header) override;
    Examined Examine(std::span<const std::uint8_t> reply) override;

private:
    Keys keys_;
    std::size_t nextCookie_ = 0;
    std::vector<std::vector<std::uint8_t>> identifiers_;  // of the requests sent
};

}  // namespace pelldor::nts
