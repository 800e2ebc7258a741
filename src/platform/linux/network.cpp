#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "platform/background_lookup.h"
#include "platform/linux/roles.h"
#include "platform/native.h"
#include "platform/socket_address.h"

namespace pelldor::platform::linux_os {
namespace {

// The one place where the system's error numbers get their meaning.
NetFailure FromErrno(int error) {
    switch (error) {
    // ICMP port unreachable for an earlier send, reported on the connected socket.
    case ECONNREFUSED:
        return {NetError::Refused, error};
    // ICMP host or network unreachable, or no route.
    case EHOSTUNREACH:
        return {NetError::HostUnreachable, error};
    case ENETUNREACH:
        return {NetError::NetworkUnreachable, error};
    case EHOSTDOWN:
        return {NetError::HostDown, error};
    case ENETDOWN:
        return {NetError::NetworkDown, error};
    // An IPv6 address on a machine without IPv6, or the reverse.
    case EAFNOSUPPORT:
        return {NetError::AddressFamily, error};
    case EADDRNOTAVAIL:
        return {NetError::AddressNotAvailable, error};
    // A firewall rule that rejects the datagram shows as a refused send.
    case EACCES:
    case EPERM:
        return {NetError::PermissionDenied, error};
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
    case EAGAIN:  // a send buffer that stays full
        return {NetError::OutOfResources, error};
    default:
        return {NetError::Other, error};
    }
}

NetFailure FromLookupStatus(int status, int error) {
    switch (status) {
    case EAI_NONAME:
#ifdef EAI_NODATA
    case EAI_NODATA:
#endif
    case EAI_ADDRFAMILY:
    case EAI_SERVICE:
        return {NetError::NameNotFound, status};
    case EAI_AGAIN:
        return {NetError::NameTemporary, status};
    case EAI_FAIL:
        return {NetError::NameFailed, status};
    case EAI_MEMORY:
        return {NetError::OutOfResources, status};
    case EAI_SYSTEM:
        return FromErrno(error);
    default:
        return {NetError::Other, status};
    }
}

LookupOutcome Resolve(const std::string& host, std::uint16_t port, bool numericOnly) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = numericOnly ? AI_NUMERICHOST : 0;
    addrinfo* list = nullptr;
    const int status = ::getaddrinfo(host.c_str(), nullptr, &hints, &list);
    if (status != 0) return {{}, FromLookupStatus(status, errno)};
    LookupOutcome outcome = AddressesOf(list, port, {NetError::NameNotFound, EAI_NONAME});
    ::freeaddrinfo(list);
    return outcome;
}

class LinuxUdpChannel final : public UdpChannel {
public:
    explicit LinuxUdpChannel(int fd) : fd_(fd) {}
    ~LinuxUdpChannel() override { ::close(fd_); }
    LinuxUdpChannel(const LinuxUdpChannel&) = delete;
    LinuxUdpChannel& operator=(const LinuxUdpChannel&) = delete;

    NetFailure Send(std::span<const std::uint8_t> bytes) override {
        for (;;) {
            if (::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) >= 0) return {};
            if (errno != EINTR) return FromErrno(errno);
        }
    }

    ReceiveResult Receive(std::span<std::uint8_t> buffer) override {
        ReceiveResult result;
        for (;;) {
            sockaddr_storage from{};
            socklen_t fromLength = sizeof from;
            const ssize_t size = ::recvfrom(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT | MSG_TRUNC,
                                            reinterpret_cast<sockaddr*>(&from), &fromLength);
            if (size >= 0) {
                result.status = ReceiveStatus::Datagram;
                result.size = static_cast<std::size_t>(size);
                if (auto address = FromSockaddr(reinterpret_cast<const sockaddr*>(&from))) {
                    result.from = *address;
                }
                return result;
            }
            const int error = errno;
            if (error == EINTR) continue;
            if (error == EAGAIN || error == EWOULDBLOCK) {
                result.status = ReceiveStatus::Nothing;
                return result;
            }
            // Whatever else a connected datagram socket reports, it cannot bring an answer
            // any more, and waiting on would only end in a timeout.
            result.status = ReceiveStatus::NetworkError;
            result.failure = FromErrno(error);
            return result;
        }
    }

    [[nodiscard]] int Descriptor() const { return fd_; }

private:
    int fd_;
};

class LinuxStreamChannel final : public StreamChannel {
public:
    explicit LinuxStreamChannel(int fd) : fd_(fd) {}
    ~LinuxStreamChannel() override { ::close(fd_); }
    LinuxStreamChannel(const LinuxStreamChannel&) = delete;
    LinuxStreamChannel& operator=(const LinuxStreamChannel&) = delete;

    StreamResult Send(std::span<const std::uint8_t> bytes) override {
        if (StreamResult made = Made(); made.status != StreamStatus::Done) return made;
        for (;;) {
            const ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            heldBack_ = sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
            if (sent >= 0) return {StreamStatus::Done, static_cast<std::size_t>(sent), {}};
            if (errno == EINTR) continue;
            if (heldBack_) return {};
            return {StreamStatus::Failed, 0, FromErrno(errno)};
        }
    }

    StreamResult Receive(std::span<std::uint8_t> buffer) override {
        if (StreamResult made = Made(); made.status != StreamStatus::Done) return made;
        for (;;) {
            const ssize_t got = ::recv(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT);
            if (got > 0) return {StreamStatus::Done, static_cast<std::size_t>(got), {}};
            if (got == 0) return {StreamStatus::Closed, 0, {}};
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return {};
            return {StreamStatus::Failed, 0, FromErrno(errno)};
        }
    }

    [[nodiscard]] Watch Watched() const {
        return {fd_, static_cast<short>(POLLIN | (connecting_ || heldBack_ ? POLLOUT : 0))};
    }

private:
    // Done once the connection is made; Again while it is being made.
    StreamResult Made() {
        if (!connecting_) return {StreamStatus::Done, 0, {}};
        pollfd writable{fd_, POLLOUT, 0};
        if (::poll(&writable, 1, 0) <= 0) return {};
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
        if (error != 0) return {StreamStatus::Failed, 0, FromErrno(error)};
        connecting_ = false;
        return {StreamStatus::Done, 0, {}};
    }

    int fd_;
    bool connecting_ = true;
    bool heldBack_ = false;
};

OpenStreamResult OpenTcpStream(const NetAddress& peer) {
    OpenStreamResult result;
    sockaddr_storage address{};
    const socklen_t length = ToSockaddr(peer, address);
    const int fd = ::socket(peer.family == NetAddress::Family::V4 ? AF_INET : AF_INET6,
                            SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        result.failure = FromErrno(errno);
        return result;
    }
    // A key exchange is a few small messages each way: none should wait to be coalesced.
    constexpr int kOn = 1;
    (void)::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &kOn, sizeof kOn);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0 && errno != EINPROGRESS &&
        errno != EINTR) {
        result.failure = FromErrno(errno);
        ::close(fd);
        return result;
    }
    result.channel = std::make_unique<LinuxStreamChannel>(fd);
    return result;
}

bool ReadRandom(void* target, std::size_t size) {
    auto* bytes = static_cast<unsigned char*>(target);
    std::size_t done = 0;
    while (done < size) {
        // Non-blocking: early in boot the pool may not be ready, and /dev/urandom never waits.
        const ssize_t got = ::getrandom(bytes + done, size - done, GRND_NONBLOCK);
        if (got < 0) {
            if (errno == EINTR) continue;
            break;
        }
        done += static_cast<std::size_t>(got);
    }
    if (done == size) return true;

    const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    done = 0;
    while (done < size) {
        const ssize_t got = ::read(fd, bytes + done, size - done);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        done += static_cast<std::size_t>(got);
    }
    ::close(fd);
    return done == size;
}

std::uint64_t ClockNanos(clockid_t clock) {
    timespec ts{};
    ::clock_gettime(clock, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * static_cast<std::uint64_t>(kNanosPerSecond) +
           static_cast<std::uint64_t>(ts.tv_nsec);
}

OpenResult OpenConnectedUdp(const NetAddress& peer) {
    OpenResult result;
    sockaddr_storage address{};
    const socklen_t length = ToSockaddr(peer, address);
    const int family = peer.family == NetAddress::Family::V4 ? AF_INET : AF_INET6;
    const int fd = ::socket(family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        result.failure = FromErrno(errno);
        return result;
    }
    // A burst of junk ahead of the reply must not push it out before it is read; best
    // effort, since the kernel caps the size and a smaller buffer still works.
    constexpr int kReceiveBuffer = 1 << 20;
    (void)::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kReceiveBuffer, sizeof kReceiveBuffer);
    int status = 0;
    do {
        status = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), length);
    } while (status != 0 && errno == EINTR);
    if (status != 0) {
        result.failure = FromErrno(errno);
        ::close(fd);
        return result;
    }
    result.channel = std::make_unique<LinuxUdpChannel>(fd);
    return result;
}

class LinuxNetwork final : public Network {
public:
    std::unique_ptr<NameLookup> StartLookup(const std::string& host, std::uint16_t port) override {
        return StartNameLookup(host, port, Resolve, {NetError::NameNotFound, EAI_NONAME});
    }
    OpenResult OpenUdp(const NetAddress& peer) override { return OpenConnectedUdp(peer); }
    OpenStreamResult OpenTcp(const NetAddress& peer) override { return OpenTcpStream(peer); }
    std::uint64_t Random64() override {
        std::uint64_t value = 0;
        if (ReadRandom(&value, sizeof value)) return value;
        return MixReadings(ClockNanos(CLOCK_REALTIME), ClockNanos(CLOCK_MONOTONIC),
                           static_cast<std::uint64_t>(::getpid()));
    }
};

}  // namespace

Watch WatchOf(const Channel& channel) {
    if (const auto* datagrams = dynamic_cast<const LinuxUdpChannel*>(&channel)) return {datagrams->Descriptor(), POLLIN};
    if (const auto* stream = dynamic_cast<const LinuxStreamChannel*>(&channel)) return stream->Watched();
    return {};
}

std::unique_ptr<Network> MakeNetwork() { return std::make_unique<LinuxNetwork>(); }

}  // namespace pelldor::platform::linux_os
