#include "platform/net.h"

#include <arpa/inet.h>

namespace pelldor::platform {

std::string NetAddress::ToString() const {
    char text[INET6_ADDRSTRLEN] = {};
    const bool v4 = family == Family::V4;
    inet_ntop(v4 ? AF_INET : AF_INET6, bytes.data(), text, sizeof text);
    std::string out;
    if (!v4) out += '[';
    out += text;
    if (!v4) out += ']';
    out += ':';
    out += std::to_string(port);
    return out;
}

NetAddress MakeV4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d, std::uint16_t port) {
    NetAddress address;
    address.family = NetAddress::Family::V4;
    address.bytes[0] = a;
    address.bytes[1] = b;
    address.bytes[2] = c;
    address.bytes[3] = d;
    address.port = port;
    return address;
}

}  // namespace pelldor::platform
