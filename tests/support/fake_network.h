#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "exchange/ntp_wire.h"
#include "platform/network.h"
#include "support/addresses.h"
#include "support/fake_machine.h"

namespace pelldor::testing {

struct FakeDatagram {
    std::vector<std::uint8_t> bytes;
    platform::NetAddress from;
    // For an answer built as a server whose clock stands a known distance from the fake
    // wall clock: that server's clock in Unix nanoseconds, for a test's own checks.
    std::optional<std::int64_t> serverNanos{};
    // Not readable before the monotonic clock reaches this.
    std::int64_t arrivesAt = 0;
};

// A lookup the program started; it stays readable after the program drops it.
struct FakeLookupRecord {
    std::string host;
    std::uint16_t port = 0;
    platform::LookupStatus reported = platform::LookupStatus::Pending;  // what Poll said last
    bool dropped = false;
};

// A socket the program opened; it stays readable after the program closes it.
struct FakeChannelRecord {
    platform::NetAddress peer;
    std::vector<std::vector<std::uint8_t>> sent;
    std::deque<FakeDatagram> inbox;
    platform::NetFailure sendError;     // every send fails so
    platform::NetFailure receiveError;  // reported once the inbox is empty, as after an ICMP refusal
    bool closed = false;
};

// An in-memory network on the fake clock, free of any test framework so that the fuzzers
// share it. Lookups and peer failures are scripted before a query; datagrams are queued on
// a channel's inbox while it waits.
class FakeNetwork final : public platform::Network {
public:
    explicit FakeNetwork(FakeClock& clock, UnexpectedUse onUnexpected = {});
    ~FakeNetwork() override;

    std::unique_ptr<platform::NameLookup> StartLookup(const std::string& host, std::uint16_t port) override;
    platform::OpenResult OpenUdp(const platform::NetAddress& peer) override;
    // The plans' exchanges are datagrams; a stream is the key exchange's, tested for real.
    platform::OpenStreamResult OpenTcp(const platform::NetAddress&) override { return {nullptr, {platform::NetError::Other, 0}}; }
    std::uint64_t Random64() override { return nextRandom++; }

    // The addresses get the port the lookup asks for. These stay out of line, so that a fuzz
    // target calling them carries none of the test machine under its coverage instrumentation.
    void Resolve(const std::string& host, std::vector<platform::NetAddress> addresses, int afterMs = 0);
    void FailLookup(const std::string& host, platform::NetError why, int afterMs = 0);
    void NeverResolve(const std::string& host);
    void FailOpen(const platform::NetAddress& peer, platform::NetError why);
    void FailSend(const platform::NetAddress& peer, platform::NetError why);
    void Refuse(const platform::NetAddress& peer, platform::NetError why);

    // A good server answer to the last request on the channel, from a server whose clock is
    // this far from the fake wall clock; both its timestamps are the current instant.
    [[nodiscard]] exchange::NtpPacket ReplyTo(const FakeChannelRecord& channel, std::int64_t serverOffsetNanos) const;
    // Queues the packet on the channel as coming from its peer, readable at once or from
    // the given monotonic time on.
    static void Deliver(FakeChannelRecord& channel, const exchange::NtpPacket& packet, std::int64_t arrivesAt = 0);

    // Hooks for a caller's own checks: as the program opens a socket (a failure the hook
    // returns refuses it), after each request is recorded, and as each datagram is handed
    // to the program.
    std::function<platform::NetFailure(FakeChannelRecord&)> onOpen;
    std::function<void(FakeChannelRecord&)> onSend;
    std::function<void(FakeChannelRecord&, const FakeDatagram&)> onReceive;

    std::vector<std::shared_ptr<FakeLookupRecord>> lookups;
    std::vector<std::shared_ptr<FakeChannelRecord>> channels;  // sockets opened; refused opens are not
    std::uint64_t nextRandom = 0x0123456789abcdefULL;

    struct LookupScript {
        std::vector<platform::NetAddress> addresses;
        platform::NetFailure failure;
        int afterMs = 0;
        bool never = false;
    };

private:
    struct PeerScript {
        platform::NetFailure openError, sendError, receiveError;
    };

    FakeClock& clock_;
    UnexpectedUse onUnexpected_;
    std::map<std::string, LookupScript> hosts_;
    std::map<std::string, PeerScript> peers_;  // by AddressText
};

}  // namespace pelldor::testing
