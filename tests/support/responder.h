#pragma once

#include <netinet/in.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace pelldor::testing {

// What the server puts in its answer.
enum class ReplyKind {
    Healthy,
    Silent,           // reads every request, answers none
    KissOfDeath,      // stratum 0, reference id "RATE"
    Leap3,            // leap indicator 3, clock not synchronised
    Stratum16,
    WrongOrigin,      // origin timestamp does not echo the request
    ZeroTransmit,     // transmit timestamp all zero
    Short,            // only the first shortLength bytes of a healthy answer
    OtherSourcePort,  // a healthy answer, sent from a second socket
    Padded,           // a healthy answer followed by filler bytes up to paddedLength
};

struct ResponderOptions {
    ReplyKind kind = ReplyKind::Healthy;
    // The server's clock is the real clock shifted by this much.
    std::chrono::nanoseconds offset{0};
    std::size_t shortLength = 47;
    // Junk datagrams sent from the server's port ahead of each answer.
    int garbageBefore = 0;
    // How often each answer is sent.
    int copies = 1;
    std::chrono::milliseconds delay{0};
    // Header fields written in place of the answer's own, to break one at a time.
    std::optional<std::uint8_t> leap{};
    std::optional<std::uint8_t> version{};
    std::optional<std::uint8_t> mode{};
    std::optional<std::uint8_t> stratum{};
    std::optional<std::array<std::uint8_t, 4>> referenceId{};
    std::size_t paddedLength = 1500;
    // Moves the receive or transmit timestamp alone, to make the two contradict each other.
    std::chrono::nanoseconds receiveShift{0};
    std::chrono::nanoseconds transmitShift{0};
    // 16.16 fixed-point seconds, in place of the answer's own small values.
    std::optional<std::uint32_t> rootDelay{};
    std::optional<std::uint32_t> rootDispersion{};
    // Above 0: the junk goes out in batches of this many, 5 ms apart, so that a flood
    // larger than a socket's receive buffer still reaches a reader that keeps up.
    int garbageBatch = 0;
    // Serves on [::1] instead of 127.0.0.1.
    bool ipv6 = false;
};

// An NTP server on 127.0.0.1 with a chosen misbehaviour, serving on its own thread until
// destroyed. Its packet encoding is its own, so a bug in the product's wire code cannot
// hide behind the same bug here.
class NtpResponder {
public:
    explicit NtpResponder(ResponderOptions options = {});
    ~NtpResponder();
    NtpResponder(const NtpResponder&) = delete;
    NtpResponder& operator=(const NtpResponder&) = delete;

    [[nodiscard]] std::uint16_t port() const { return port_; }
    [[nodiscard]] std::string Peer() const {
        return (options_.ipv6 ? "[::1]:" : "127.0.0.1:") + std::to_string(port_);
    }
    // Datagrams received so far, whatever their content.
    [[nodiscard]] int requests() const { return requests_.load(); }
    // The bytes of every datagram received so far.
    [[nodiscard]] std::vector<std::vector<std::uint8_t>> received() const;

private:
    struct Pending {
        std::chrono::steady_clock::time_point due;
        std::vector<std::uint8_t> request;
        std::chrono::system_clock::time_point receivedAt;
        sockaddr_storage client{};
        socklen_t clientLength = 0;
    };

    void Serve();
    void Answer(const Pending& pending);

    ResponderOptions options_;
    int fd_ = -1;
    int otherFd_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<int> requests_{0};
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::vector<std::vector<std::uint8_t>> received_;
    std::thread thread_;
};

// A port on 127.0.0.1 that was free a moment ago, so a datagram sent to it is refused.
std::uint16_t ClosedPort();

}  // namespace pelldor::testing
