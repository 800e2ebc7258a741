#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <span>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "platform/files.h"
#include "platform/network.h"

// For tests against a real machine: waiting, for a bounded time, on doors that never
// block, and a folder of their own to read back what its files did.
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

// A fresh folder whose name needs more than ASCII, that only the running user may change
// (Linux refuses a log anywhere else), removed with its files afterwards.
class ScratchFolder : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string unique = std::to_string(std::random_device{}()) + std::to_string(made_++);
        dir_ = std::filesystem::temp_directory_path() /
               (u8"pelldor Pr\u00fcfung \u6642\u523b \U0001F552 " + std::u8string(unique.begin(), unique.end()));
        ASSERT_TRUE(std::filesystem::create_directory(dir_));
        std::filesystem::permissions(dir_, std::filesystem::perms::owner_all, std::filesystem::perm_options::replace);
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    // The folder, and a name in it, in UTF-8.
    [[nodiscard]] std::string Dir() const {
        const std::u8string path = dir_.u8string();
        return {path.begin(), path.end()};
    }
    [[nodiscard]] std::string In(const std::string& name) const {
        return Dir() + static_cast<char>(std::filesystem::path::preferred_separator) + name;
    }

    std::filesystem::path dir_;
    static inline int made_ = 0;
};

}  // namespace pelldor::testing
