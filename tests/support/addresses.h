#pragma once

#include <cstdint>
#include <string>

#include "platform/net.h"

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

// "127.0.0.1:123", or "[0:0:0:0:0:0:0:1]:123" with every group written out: for messages
// and as a key, not for reading back.
[[nodiscard]] inline std::string AddressText(const platform::NetAddress& address) {
    std::string text;
    if (address.family == platform::NetAddress::Family::V4) {
        for (std::size_t i = 0; i < 4; ++i) {
            if (i) text += '.';
            text += std::to_string(address.bytes[i]);
        }
    } else {
        static constexpr char kHex[] = "0123456789abcdef";
        text += '[';
        for (std::size_t group = 0; group < 8; ++group) {
            if (group) text += ':';
            const unsigned value = address.bytes[2 * group] << 8 | address.bytes[2 * group + 1];
            bool started = false;
            for (int shift = 12; shift >= 0; shift -= 4) {
                const unsigned digit = (value >> shift) & 15;
                if (digit || started || shift == 0) text += kHex[digit], started = true;
            }
        }
        text += ']';
    }
    text += ':';
    text += std::to_string(address.port);
    return text;
}

}  // namespace pelldor::testing
