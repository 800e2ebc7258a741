#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/net.h"
#include "support/addresses.h"
#include "support/fake_platform.h"
#include "timequery/ntp_wire.h"

namespace pelldor::testing {

struct FakeDatagram {
    std::vector<std::uint8_t> bytes;
    platform::NetAddress from;
};

// A lookup the program started; it stays readable after the program drops it.
struct FakeLookupRecord {
    std::string host;
    std::uint16_t port = 0;
    bool dropped = false;
};

// A socket the program opened; it stays readable after the program closes it.
struct FakeChannelRecord {
    platform::NetAddress peer;
    std::vector<std::vector<std::uint8_t>> sent;
    std::deque<FakeDatagram> inbox;
    bool closed = false;
};

// An in-memory network for the fake platform. Lookups and peer failures are scripted
// before a query; datagrams are queued on a channel's inbox while it waits.
class FakeNetwork {
public:
    explicit FakeNetwork(FakePlatform& platform);

    // The addresses get the port the lookup asks for.
    void Resolve(const std::string& host, std::vector<platform::NetAddress> addresses, int afterMs = 0);
    void FailLookup(const std::string& host, platform::NetError why, int afterMs = 0);
    void NeverResolve(const std::string& host);

    void FailOpen(const platform::NetAddress& peer, platform::NetError why);
    void FailSend(const platform::NetAddress& peer, platform::NetError why);
    // Receive reports this network error once the inbox is empty, as after an ICMP refusal.
    void Refuse(const platform::NetAddress& peer, platform::NetError why);

    // A good server answer to the last request on the channel, from a server whose clock is
    // this far from the fake wall clock; both its timestamps are the current instant.
    [[nodiscard]] timequery::NtpPacket ReplyTo(const FakeChannelRecord& channel,
                                               std::int64_t serverOffsetNanos) const;
    // Queues the packet on the channel as coming from its peer.
    static void Deliver(FakeChannelRecord& channel, const timequery::NtpPacket& packet);

    std::vector<std::shared_ptr<FakeLookupRecord>> lookups;
    std::vector<std::shared_ptr<FakeChannelRecord>> channels;

private:
    struct LookupScript {
        std::vector<platform::NetAddress> addresses;
        platform::NetFailure failure;
        int afterMs = 0;
        bool never = false;
    };
    struct PeerScript {
        platform::NetFailure openError, sendError, receiveError;
    };

    FakePlatform& platform_;
    std::map<std::string, LookupScript> hosts_;
    std::map<std::string, PeerScript> peers_;  // by AddressText
};

}  // namespace pelldor::testing
