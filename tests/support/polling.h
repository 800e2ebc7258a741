#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <thread>

#include "platform/network.h"

namespace pelldor::testing {

// The platform's network doors never block, so a test against real sockets polls them,
// for a bounded time.
inline platform::ReceiveResult AwaitReceive(platform::UdpChannel& channel, std::span<std::uint8_t> buffer,
                                            std::chrono::milliseconds most = std::chrono::seconds(2)) {
    platform::ReceiveResult result;
    const auto deadline = std::chrono::steady_clock::now() + most;
    do {
        result = channel.Receive(buffer);
        if (result.status != platform::ReceiveStatus::Nothing) return result;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    } while (std::chrono::steady_clock::now() < deadline);
    return result;
}

inline platform::LookupStatus AwaitLookup(platform::NameLookup& lookup,
                                          std::chrono::milliseconds most = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + most;
    platform::LookupStatus status = lookup.Poll();
    while (status == platform::LookupStatus::Pending && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        status = lookup.Poll();
    }
    return status;
}

}  // namespace pelldor::testing
