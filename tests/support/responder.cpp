#include "support/responder.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>

#include "support/netns.h"

namespace pelldor::testing {
namespace {

using namespace std::chrono;

constexpr std::int64_t kNtpEraOffset = 2'208'988'800;  // 1900-01-01 to 1970-01-01 in seconds

using Packet = std::array<std::uint8_t, 48>;

std::uint64_t Field(const std::vector<std::uint8_t>& bytes, std::size_t at, std::size_t size) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < size; ++i) value = value << 8 | bytes[at + i];
    return value;
}

void Put(std::uint8_t* at, std::uint64_t value, int size) {
    for (int i = 0; i < size; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * (size - 1 - i)));
}

void PutTimestamp(std::uint8_t* at, system_clock::time_point when) {
    const auto whole = floor<seconds>(when);
    const auto rest = static_cast<std::uint64_t>(duration_cast<nanoseconds>(when - whole).count());
    Put(at, static_cast<std::uint64_t>(whole.time_since_epoch().count() + kNtpEraOffset), 4);
    Put(at + 4, (rest << 32) / 1'000'000'000, 4);
}

int BoundLoopbackSocket(bool ipv6 = false) {
    const int fd = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error(std::string("responder socket: ") + std::strerror(errno));
    sockaddr_storage address{};
    socklen_t length = sizeof(sockaddr_in);
    if (ipv6) {
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
        v6->sin6_family = AF_INET6;
        v6->sin6_addr = in6addr_loopback;
        length = sizeof(sockaddr_in6);
    } else {
        auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
        v4->sin_family = AF_INET;
        v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    }
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) {
        const int error = errno;
        ::close(fd);
        throw std::runtime_error(std::string("responder bind: ") + std::strerror(error));
    }
    return fd;
}

std::uint16_t PortOf(int fd) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    // The port sits at the same offset in both families' addresses.
    return ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
}

// Datagrams a careful client throws away: too short, nonsense, and a plausible answer to
// somebody else's request carrying a wildly wrong time.
std::vector<std::uint8_t> Garbage(int index) {
    switch (index % 3) {
    case 0:
        return std::vector<std::uint8_t>(13, 0xFF);
    case 1:
        return std::vector<std::uint8_t>(48, 0xA5);
    default: {
        Packet packet{};
        packet[0] = 0x24;
        packet[1] = 2;
        for (const int at : {24, 32, 40}) PutTimestamp(&packet[at], system_clock::time_point{} + hours(24 * 365 * 20));
        return {packet.begin(), packet.end()};
    }
    }
}

}  // namespace

NtpResponder::NtpResponder(ResponderOptions options) : options_(options) {
    fd_ = BoundLoopbackSocket(options_.ipv6);
    port_ = PortOf(fd_);
    if (options_.kind == ReplyKind::OtherSourcePort) {
        try {
            otherFd_ = BoundLoopbackSocket(options_.ipv6);
        } catch (...) {
            ::close(fd_);
            throw;
        }
    }
    thread_ = std::thread([this] { Serve(); });
}

NtpResponder::~NtpResponder() {
    stop_ = true;
    thread_.join();
    ::close(fd_);
    if (otherFd_ >= 0) ::close(otherFd_);
}

std::uint16_t ClosedPort() {
    const int fd = BoundLoopbackSocket();
    const std::uint16_t port = PortOf(fd);
    ::close(fd);
    return port;
}

std::vector<Datagram> Ask(std::uint16_t port, std::uint64_t cookie, milliseconds wait, bool every,
                          const NetNamespace* netns, const std::string& address) {
    const int fd = netns != nullptr ? netns->Socket(AF_INET, SOCK_DGRAM, 0) : ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(port);
    std::array<std::uint8_t, 48> request{(4 << 3) | 3};  // version 4, client
    Put(&request[40], cookie, 8);
    std::vector<Datagram> heard;
    if (fd >= 0 && ::inet_pton(AF_INET, address.c_str(), &server.sin_addr) == 1 &&
        ::sendto(fd, request.data(), request.size(), 0, reinterpret_cast<const sockaddr*>(&server), sizeof server) == 48) {
        const auto deadline = steady_clock::now() + wait;
        for (auto left = wait; left.count() > 0 && (every || heard.empty());
             left = duration_cast<milliseconds>(deadline - steady_clock::now())) {
            pollfd watch{fd, POLLIN, 0};
            if (::poll(&watch, 1, static_cast<int>(left.count())) <= 0) continue;
            Datagram datagram{std::vector<std::uint8_t>(2048)};
            sockaddr_in from{};
            socklen_t length = sizeof from;
            const ssize_t got = ::recvfrom(fd, datagram.bytes.data(), datagram.bytes.size(), 0,
                                           reinterpret_cast<sockaddr*>(&from), &length);
            if (got < 0) continue;
            datagram.bytes.resize(static_cast<std::size_t>(got));
            datagram.fromPort = ntohs(from.sin_port);
            heard.push_back(std::move(datagram));
        }
    }
    if (fd >= 0) ::close(fd);
    return heard;
}

NtpReplyHeader Decode(const std::vector<std::uint8_t>& bytes) {
    return {bytes[0] >> 6, (bytes[0] >> 3) & 7, bytes[0] & 7, bytes[1], static_cast<std::uint32_t>(Field(bytes, 12, 4)),
            Field(bytes, 24, 8), Field(bytes, 32, 8), Field(bytes, 40, 8)};
}

std::string NtpReplyHeader::ReferenceText() const {
    std::string text(4, '.');
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(referenceId >> (24 - 8 * i));
        if (c >= 0x20 && c < 0x7f) text[i] = static_cast<char>(c);
    }
    return text;
}

std::optional<NtpReplyHeader> AskOnce(std::uint16_t port, milliseconds wait, const NetNamespace* netns,
                                      const std::string& address) {
    static thread_local std::mt19937_64 random{std::random_device{}()};
    const std::uint64_t cookie = random();
    const auto heard = Ask(port, cookie, wait, false, netns, address);
    if (heard.empty() || heard[0].bytes.size() < 48 || Field(heard[0].bytes, 24, 8) != cookie) return std::nullopt;
    return Decode(heard[0].bytes);
}

std::vector<std::vector<std::uint8_t>> NtpResponder::received() const {
    std::lock_guard lock(mutex_);
    return received_;
}

void NtpResponder::Serve() {
    std::vector<Pending> pending;
    while (!stop_) {
        // Short enough that the destructor never waits long, and a delayed answer goes out
        // close to its time.
        auto wait = milliseconds(20);
        const auto now = steady_clock::now();
        for (const Pending& p : pending) {
            wait = std::min(wait, std::max(milliseconds(0), duration_cast<milliseconds>(p.due - now)));
        }
        pollfd watch{fd_, POLLIN, 0};
        ::poll(&watch, 1, static_cast<int>(wait.count()));

        for (;;) {
            Pending request;
            request.request.resize(2048);
            request.clientLength = sizeof request.client;
            const ssize_t size = ::recvfrom(fd_, request.request.data(), request.request.size(), 0,
                                            reinterpret_cast<sockaddr*>(&request.client), &request.clientLength);
            if (size < 0) break;
            request.receivedAt = system_clock::now();
            request.due = steady_clock::now() + options_.delay;
            request.request.resize(static_cast<std::size_t>(size));
            {
                std::lock_guard lock(mutex_);
                received_.push_back(request.request);
            }
            ++requests_;
            if (options_.kind != ReplyKind::Silent) pending.push_back(std::move(request));
        }

        const auto due = steady_clock::now();
        auto ready = std::stable_partition(pending.begin(), pending.end(),
                                           [due](const Pending& p) { return p.due <= due; });
        for (auto it = pending.begin(); it != ready; ++it) Answer(*it);
        pending.erase(pending.begin(), ready);
    }
}

void NtpResponder::Answer(const Pending& pending) {
    const ReplyKind kind = options_.kind;
    const int from = kind == ReplyKind::OtherSourcePort ? otherFd_ : fd_;
    const auto send = [&](const std::vector<std::uint8_t>& bytes) {
        ::sendto(from, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&pending.client),
                 pending.clientLength);
    };
    // The junk first, so that the answer's transmit time is when it leaves, however long
    // a flood took.
    for (int i = 0; i < options_.garbageBefore; ++i) {
        if (options_.garbageBatch > 0 && i > 0 && i % options_.garbageBatch == 0) {
            std::this_thread::sleep_for(milliseconds(5));
        }
        send(Garbage(i));
    }

    const auto shifted = [this](system_clock::time_point t) {
        return t + duration_cast<system_clock::duration>(options_.offset);
    };

    Packet packet{};
    // Real servers mark a kiss-o'-death as unsynchronised as well.
    const std::uint8_t leap = options_.leap.value_or(kind == ReplyKind::KissOfDeath ? 3 : 0);
    packet[0] = static_cast<std::uint8_t>((leap & 3) << 6 | (options_.version.value_or(4) & 7) << 3 |
                                          (options_.mode.value_or(4) & 7));
    packet[1] = options_.stratum.value_or(kind == ReplyKind::KissOfDeath ? 0 : 2);
    packet[2] = pending.request.size() > 2 ? pending.request[2] : 6;
    packet[3] = 0xEC;                         // precision 2^-20 s
    Put(&packet[4], options_.rootDelay.value_or(0x0000'0100), 4);       // 1/256 s
    Put(&packet[8], options_.rootDispersion.value_or(0x0000'0200), 4);  // 1/128 s
    const std::uint8_t refid[4] = {192, 0, 2, 1};
    std::memcpy(&packet[12], kind == ReplyKind::KissOfDeath ? reinterpret_cast<const std::uint8_t*>("RATE") : refid, 4);
    if (options_.referenceId) std::copy(options_.referenceId->begin(), options_.referenceId->end(), &packet[12]);
    PutTimestamp(&packet[16], shifted(pending.receivedAt) - seconds(16));
    if (pending.request.size() >= 48) std::copy_n(pending.request.begin() + 40, 8, packet.begin() + 24);
    if (kind == ReplyKind::WrongOrigin) packet[31] ^= 0x01;
    const auto by = [](std::chrono::nanoseconds shift) { return duration_cast<system_clock::duration>(shift); };
    PutTimestamp(&packet[32], shifted(pending.receivedAt) + by(options_.receiveShift));
    if (kind != ReplyKind::ZeroTransmit) {
        PutTimestamp(&packet[40], shifted(system_clock::now()) + by(options_.transmitShift));
    }

    std::vector<std::uint8_t> reply(packet.begin(), packet.end());
    if (kind == ReplyKind::Short) reply.resize(options_.shortLength, 0);
    // Non-zero filler: a reader that took a field from past the header would see nonsense.
    if (kind == ReplyKind::Padded) reply.resize(std::max(options_.paddedLength, reply.size()), 0xA5);

    for (int i = 0; i < options_.copies; ++i) send(reply);
}

}  // namespace pelldor::testing
