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

class NetNamespace;

// What the server puts in its answer.
enum class ReplyKind {
    Healthy,
    Silent,           // reads every request, answers none
    KissOfDeath,      // stratum 0, reference id "RATE"
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

// The client side, for tests that ask a server themselves, decoded apart from the product.
struct Datagram {
    std::vector<std::uint8_t> bytes;
    std::uint16_t fromPort = 0;
};

// Sends a version 4 client request whose transmit field carries the cookie, from a fresh
// socket (one of the namespace, when given), and returns what comes back within `wait`:
// every datagram, or only the first.
std::vector<Datagram> Ask(std::uint16_t port, std::uint64_t cookie, std::chrono::milliseconds wait, bool every,
                          const NetNamespace* netns = nullptr, const std::string& address = "127.0.0.1");

// The header fields of an NTP reply that tell how a server answered.
struct NtpReplyHeader {
    int leap = 0;
    int version = 0;
    int mode = 0;
    int stratum = 0;
    std::uint32_t referenceId = 0;
    std::uint64_t originTime = 0;
    std::uint64_t receiveTime = 0;
    std::uint64_t transmitTime = 0;

    [[nodiscard]] std::string ReferenceText() const;  // the four bytes, '.' for unprintable ones
};

// The header of a datagram of 48 bytes or more.
NtpReplyHeader Decode(const std::vector<std::uint8_t>& bytes);

// Asks once with a cookie of its own: the reply that echoes it, if one comes within `wait`.
std::optional<NtpReplyHeader> AskOnce(std::uint16_t port, std::chrono::milliseconds wait,
                                      const NetNamespace* netns = nullptr,
                                      const std::string& address = "127.0.0.1");

}  // namespace pelldor::testing
