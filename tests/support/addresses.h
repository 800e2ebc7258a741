#pragma once

#include <cstdint>
#include <initializer_list>

#include "platform/network.h"

namespace pelldor::testing {

[[nodiscard]] inline platform::NetAddress V4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d,
                                             std::uint16_t port) {
    return {platform::NetAddress::Family::V4, {a, b, c, d}, port, 0};
}

// From its eight 16-bit groups, as an address is written.
[[nodiscard]] inline platform::NetAddress V6(std::initializer_list<std::uint16_t> groups, std::uint16_t port,
                                             std::uint32_t scopeId = 0) {
    platform::NetAddress address{platform::NetAddress::Family::V6, {}, port, scopeId};
    std::size_t i = 0;
    for (const std::uint16_t group : groups) {
        address.bytes.at(i++) = static_cast<std::uint8_t>(group >> 8);
        address.bytes.at(i++) = static_cast<std::uint8_t>(group);
    }
    return address;
}

}  // namespace pelldor::testing
