#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "exchange/exchange.h"
#include "nts/key_exchange.h"

// Authenticated time, as the plugin asks for it: a key exchange, then one exchange of time
// authenticated with its keys, for each server at once. The types alone: the program that
// links the TLS library provides the running of it.
namespace pelldor::nts {

struct Target {
    KeTarget ke;
    // Where the time exchange goes unless the key exchange names a server or a port.
    std::uint16_t ntpPort = 123;
    std::int64_t resendNanos = 0;
    // For the key exchange and the time exchange together, from the start.
    std::int64_t timeoutNanos = 0;
};

struct Outcome {
    // The authenticated exchange's result; without keys, not done and no time.
    exchange::Result result;
    std::string keFailure;  // why the key exchange gave no keys; empty when it did
    bool keFailureOurOwn = false;  // this machine's fault (its CA file), nothing of the server
    std::optional<std::int64_t> keNanos;
    std::optional<std::int64_t> exchangeNanos;
    std::optional<std::int64_t> certificateExpiry;  // seconds since 1970
};

}  // namespace pelldor::nts
