#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace pelldor::platform {

// A UDP peer in a form the time client can compare without socket headers.
struct NetAddress {
    enum class Family : std::uint8_t { V4, V6 };
    Family family = Family::V4;
    std::array<std::uint8_t, 16> bytes{};  // V4 uses the first four
    std::uint16_t port = 0;
    std::uint32_t scopeId = 0;

    bool operator==(const NetAddress&) const = default;
};

// Why the network could not do what was asked: every platform sorts its system's error
// numbers into these, so a notice reads the same everywhere and never carries a localised
// or non-ASCII system message.
enum class NetError : std::uint8_t {
    None,
    NameNotFound,
    NameTemporary,
    NameFailed,
    Refused,
    HostUnreachable,
    NetworkUnreachable,
    HostDown,
    NetworkDown,
    AddressFamily,
    AddressNotAvailable,
    NoAddressOfFamily,  // the name has addresses, none of the family asked for
    PermissionDenied,
    OutOfResources,
    Other,
};

struct NetFailure {
    NetError kind = NetError::None;
    int systemCode = 0;  // the system's own number, shown only for Other

    [[nodiscard]] bool failed() const { return kind != NetError::None; }
    bool operator==(const NetFailure&) const = default;
};

enum class LookupStatus { Pending, Done, Failed };

// A name lookup in progress. Poll never blocks; a lookup that never finishes is
// abandoned by dropping it.
class NameLookup {
public:
    virtual ~NameLookup() = default;
    virtual LookupStatus Poll() = 0;
    // Valid once Poll returned Done, in the resolver's order, never empty.
    [[nodiscard]] virtual const std::vector<NetAddress>& Addresses() const = 0;
    // Valid once Poll returned Failed.
    [[nodiscard]] virtual NetFailure Failure() const = 0;
};

enum class ReceiveStatus {
    Datagram,      // one datagram was read into the buffer
    Nothing,       // nothing waiting now
    NetworkError,  // the peer cannot be reached through this channel (refused, unreachable)
};

struct ReceiveResult {
    ReceiveStatus status = ReceiveStatus::Nothing;
    std::size_t size = 0;  // bytes of the datagram, which may exceed the buffer
    NetAddress from;
    NetFailure failure;
};

// A socket of this machine's network, which the clock's wait watches.
class Channel {
public:
    virtual ~Channel() = default;
};

// A UDP socket connected to one peer on a fresh ephemeral port. Nothing of it blocks; the
// clock's wait wakes when it has something to receive.
class UdpChannel : public Channel {
public:
    [[nodiscard]] virtual NetFailure Send(std::span<const std::uint8_t> bytes) = 0;
    [[nodiscard]] virtual ReceiveResult Receive(std::span<std::uint8_t> buffer) = 0;
};

struct OpenResult {
    std::unique_ptr<UdpChannel> channel;  // null on failure
    NetFailure failure;
};

enum class StreamStatus {
    Done,    // `size` bytes went or came
    Again,   // not now: the connection is still being made, or the socket is full or empty
    Closed,  // the peer closed its side: nothing more will come
    Failed,  // the connection could not be made, or broke
};

struct StreamResult {
    StreamStatus status = StreamStatus::Again;
    std::size_t size = 0;
    NetFailure failure;
};

// A TCP connection to one peer, being made from the moment it is opened. Nothing of it
// blocks: the clock's wait wakes when it can be read, and while it is being made or a
// write was held back, when it can be written.
class StreamChannel : public Channel {
public:
    [[nodiscard]] virtual StreamResult Send(std::span<const std::uint8_t> bytes) = 0;
    [[nodiscard]] virtual StreamResult Receive(std::span<std::uint8_t> buffer) = 0;
};

struct OpenStreamResult {
    std::unique_ptr<StreamChannel> channel;  // null on failure
    NetFailure failure;
};

// Names, sockets, and the random cookies that go out on them.
class Network {
public:
    virtual ~Network() = default;

    // Starts resolving a host name or numeric address; never blocks the caller.
    [[nodiscard]] virtual std::unique_ptr<NameLookup> StartLookup(const std::string& host, std::uint16_t port) = 0;
    [[nodiscard]] virtual OpenResult OpenUdp(const NetAddress& peer) = 0;
    // A machine without streams (the Windows build, which has no authenticated time) fails.
    [[nodiscard]] virtual OpenStreamResult OpenTcp(const NetAddress& peer) = 0;
    [[nodiscard]] virtual std::uint64_t Random64() = 0;
};

}  // namespace pelldor::platform
