#pragma once

// The socket address of the BSD socket interface, which Linux and Winsock share, beside
// our own address type. Only the systems' network code includes this.
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>

#include "platform/background_lookup.h"
#include "platform/network.h"

namespace pelldor::platform {

// Copied field by field through memcpy: a sockaddr's real type is only known from its
// family, so no pointer cast reads it as the other.
[[nodiscard]] inline std::optional<NetAddress> FromSockaddr(const sockaddr* address) {
    NetAddress result;
    if (address->sa_family == AF_INET) {
        sockaddr_in v4{};
        std::memcpy(&v4, address, sizeof v4);
        result.family = NetAddress::Family::V4;
        std::memcpy(result.bytes.data(), &v4.sin_addr, 4);
        result.port = ntohs(v4.sin_port);
        return result;
    }
    if (address->sa_family == AF_INET6) {
        sockaddr_in6 v6{};
        std::memcpy(&v6, address, sizeof v6);
        result.family = NetAddress::Family::V6;
        std::memcpy(result.bytes.data(), &v6.sin6_addr, 16);
        result.port = ntohs(v6.sin6_port);
        result.scopeId = v6.sin6_scope_id;
        return result;
    }
    return std::nullopt;
}

// Fills the storage and gives the length to hand to the system with it.
inline socklen_t ToSockaddr(const NetAddress& address, sockaddr_storage& storage) {
    storage = {};
    if (address.family == NetAddress::Family::V4) {
        sockaddr_in v4{};
        v4.sin_family = AF_INET;
        std::memcpy(&v4.sin_addr, address.bytes.data(), 4);
        v4.sin_port = htons(address.port);
        std::memcpy(&storage, &v4, sizeof v4);
        return sizeof v4;
    }
    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    std::memcpy(&v6.sin6_addr, address.bytes.data(), 16);
    v6.sin6_port = htons(address.port);
    v6.sin6_scope_id = address.scopeId;
    std::memcpy(&storage, &v6, sizeof v6);
    return sizeof v6;
}

// The addresses of a resolver's answer (a list of addrinfo, or of Windows' ADDRINFOW), in
// its order, each with the port and each once: a resolver can give one address more than
// once (several hosts-file lines). An answer without one usable address fails as `none`.
template <typename Entry>
[[nodiscard]] LookupOutcome AddressesOf(const Entry* list, std::uint16_t port, NetFailure none) {
    LookupOutcome outcome;
    for (const Entry* entry = list; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_addr == nullptr) continue;
        auto address = FromSockaddr(entry->ai_addr);
        if (!address) continue;
        address->port = port;
        auto& known = outcome.addresses;
        if (std::find(known.begin(), known.end(), *address) == known.end()) known.push_back(*address);
    }
    if (outcome.addresses.empty()) outcome.failure = none;
    return outcome;
}

}  // namespace pelldor::platform
