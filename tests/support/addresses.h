#pragma once

#include <cstdint>

#include "platform/network.h"

namespace pelldor::testing {

[[nodiscard]] inline platform::NetAddress V4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d,
                                             std::uint16_t port) {
    platform::NetAddress address;
    address.bytes[0] = a;
    address.bytes[1] = b;
    address.bytes[2] = c;
    address.bytes[3] = d;
    address.port = port;
    return address;
}

}  // namespace pelldor::testing
