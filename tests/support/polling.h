#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <span>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "platform/files.h"
#include "platform/network.h"

// For tests against a real machine: waiting, for a bounded time, on doors that never
// block, and reading back what its files did.
namespace pelldor::testing {

// Waits on the machine's clock as the program's loop does, watching `watched` (the channel
// alone when empty), until the channel has something to receive or `most` has passed: a
// wait that ends early for no reason is waited again.
inline platform::ReceiveResult AwaitReceive(platform::Clock& clock, platform::UdpChannel& channel,
                                            std::span<std::uint8_t> buffer,
                                            std::int64_t most = 5 * platform::kNanosPerSecond,
                                            std::span<platform::Channel* const> watched = {}) {
    platform::Channel* const alone[] = {&channel};
    const std::int64_t end = clock.MonotonicNanos() + most;
    platform::ReceiveResult result;
    for (int waits = 0; waits < 100 && result.status == platform::ReceiveStatus::Nothing; ++waits) {
        clock.WaitUntil(end, watched.empty() ? std::span<platform::Channel* const>(alone) : watched);
        result = channel.Receive(buffer);
        if (clock.MonotonicNanos() >= end) break;
    }
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

// An append's outcome as one text, to compare and to show: "written", "passed over: why"
// or "failed: why".
inline std::string Outcome(const platform::Appended& appended) {
    const char* const status[] = {"written", "passed over", "failed"};
    return status[static_cast<int>(appended.status)] + (appended.failure.empty() ? "" : ": " + appended.failure);
}

// A file's bytes; empty when it cannot be read.
inline std::string Contents(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace pelldor::testing
