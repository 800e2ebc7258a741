#include "support/fake_network.h"

#include <algorithm>
#include <utility>

#include "support/ntp_packets.h"

namespace pelldor::testing {
namespace {

class FakeLookup final : public platform::NameLookup {
public:
    FakeLookup(std::shared_ptr<FakeLookupRecord> record, const FakePlatform& platform,
               std::vector<platform::NetAddress> addresses, platform::NetFailure failure, std::int64_t readyAt,
               bool never)
        : record_(std::move(record)),
          platform_(platform),
          addresses_(std::move(addresses)),
          failure_(failure),
          readyAt_(readyAt),
          never_(never) {}
    ~FakeLookup() override { record_->dropped = true; }

    platform::LookupStatus Poll() override {
        if (!never_ && platform_.monotonicNanos >= readyAt_) {
            record_->reported = failure_.failed() ? platform::LookupStatus::Failed : platform::LookupStatus::Done;
        }
        return record_->reported;
    }
    const std::vector<platform::NetAddress>& Addresses() const override { return addresses_; }
    platform::NetFailure Failure() const override { return failure_; }

private:
    std::shared_ptr<FakeLookupRecord> record_;
    const FakePlatform& platform_;
    std::vector<platform::NetAddress> addresses_;
    platform::NetFailure failure_;
    std::int64_t readyAt_;
    bool never_;
};

class FakeChannel final : public platform::UdpChannel {
public:
    FakeChannel(FakeNetwork& network, FakePlatform& platform, std::shared_ptr<FakeChannelRecord> record)
        : network_(network), platform_(platform), record_(std::move(record)) {}
    ~FakeChannel() override { record_->closed = true; }

    platform::NetFailure Send(std::span<const std::uint8_t> bytes) override {
        if (record_->sendError.failed()) {
            ++network_.failuresReported;
            return record_->sendError;
        }
        record_->sent.emplace_back(bytes.begin(), bytes.end());
        record_->sentWallNanos = platform_.wallNanos;
        record_->sentMonotonic = platform_.monotonicNanos;
        if (network_.onSend) network_.onSend(*record_);
        return {};
    }

    platform::ReceiveResult Receive(std::span<std::uint8_t> buffer) override {
        ++network_.receives;
        if (record_->inbox.empty() || record_->inbox.front().arrivesAt > platform_.monotonicNanos) {
            if (!record_->receiveError.failed()) return {};
            ++network_.failuresReported;
            return {platform::ReceiveStatus::NetworkError, 0, {}, record_->receiveError};
        }
        FakeDatagram datagram = std::move(record_->inbox.front());
        record_->inbox.pop_front();
        const std::size_t copied = std::min(datagram.bytes.size(), buffer.size());
        std::copy_n(datagram.bytes.begin(), copied, buffer.begin());
        if (network_.onReceive) network_.onReceive(*record_, datagram);
        return {platform::ReceiveStatus::Datagram, datagram.bytes.size(), datagram.from, {}};
    }

    // The virtual clock moves on to the next arrival, or by the whole wait.
    void WaitReadable(std::int64_t mostNanos) override {
        std::int64_t wait = std::max<std::int64_t>(mostNanos, 0);
        if (!record_->inbox.empty()) {
            wait = std::clamp<std::int64_t>(record_->inbox.front().arrivesAt - platform_.monotonicNanos, 0, wait);
        } else if (record_->receiveError.failed()) {
            wait = 0;
        }
        platform_.Advance(wait);
        ++network_.waits;
    }

private:
    FakeNetwork& network_;
    FakePlatform& platform_;
    std::shared_ptr<FakeChannelRecord> record_;
};

}  // namespace

FakeNetwork::FakeNetwork(FakePlatform& platform) : platform_(platform) {
    platform.lookupHook = [this](const std::string& host, std::uint16_t port)
        -> std::unique_ptr<platform::NameLookup> {
        auto record = lookups.emplace_back(std::make_shared<FakeLookupRecord>());
        record->host = host;
        record->port = port;
        const auto it = hosts_.find(host);
        if (it == hosts_.end()) {
            platform_.Unexpected("no lookup scripted for " + host);
            return std::make_unique<FakeLookup>(record, platform_, std::vector<platform::NetAddress>{},
                                                platform::NetFailure{platform::NetError::Other, 0}, 0, false);
        }
        const LookupScript& script = it->second;
        std::vector<platform::NetAddress> addresses = script.addresses;
        for (auto& address : addresses) address.port = port;
        return std::make_unique<FakeLookup>(record, platform_, std::move(addresses), script.failure,
                                            platform_.monotonicNanos + script.afterMs * 1'000'000LL,
                                            script.never);
    };
    platform.openHook = [this](const platform::NetAddress& peer) -> platform::OpenResult {
        const PeerScript& script = peers_[platform::AddressText(peer)];
        auto record = std::make_shared<FakeChannelRecord>();
        record->peer = peer;
        record->sendError = script.sendError;
        record->receiveError = script.receiveError;
        platform::NetFailure refused = script.openError;
        if (!refused.failed() && onOpen) refused = onOpen(*record);
        if (refused.failed()) {
            ++failuresReported;
            return {nullptr, refused};
        }
        channels.push_back(record);
        return {std::make_unique<FakeChannel>(*this, platform_, record), {}};
    };
}

void FakeNetwork::Resolve(const std::string& host, std::vector<platform::NetAddress> addresses, int afterMs) {
    hosts_[host] = LookupScript{std::move(addresses), {}, afterMs, false};
}

void FakeNetwork::FailLookup(const std::string& host, platform::NetError why, int afterMs) {
    hosts_[host] = LookupScript{{}, {why, 0}, afterMs, false};
}

void FakeNetwork::NeverResolve(const std::string& host) { hosts_[host] = LookupScript{{}, {}, 0, true}; }

void FakeNetwork::FailOpen(const platform::NetAddress& peer, platform::NetError why) {
    peers_[platform::AddressText(peer)].openError = {why, 0};
}

void FakeNetwork::FailSend(const platform::NetAddress& peer, platform::NetError why) {
    peers_[platform::AddressText(peer)].sendError = {why, 0};
}

void FakeNetwork::Refuse(const platform::NetAddress& peer, platform::NetError why) {
    peers_[platform::AddressText(peer)].receiveError = {why, 0};
}

timequery::NtpPacket FakeNetwork::ReplyTo(const FakeChannelRecord& channel, std::int64_t serverOffsetNanos) const {
    timequery::NtpPacket reply;
    const auto request = channel.sent.empty() ? std::nullopt : timequery::DecodePacket(channel.sent.back());
    if (!request) {
        platform_.Unexpected("no request to answer was sent to " + platform::AddressText(channel.peer));
        return reply;
    }
    const std::uint64_t serverTime = NtpAt(platform_.wallNanos + serverOffsetNanos);
    reply.version = timequery::kNtpVersion;
    reply.mode = timequery::kModeServer;
    reply.stratum = 2;
    reply.poll = request->poll;
    reply.precision = -20;
    reply.rootDelay = 0x0000'0800;
    reply.rootDispersion = 0x0000'0400;
    reply.referenceId = 0x7f00'0001;
    reply.referenceTime = serverTime - (std::uint64_t{64} << 32);
    reply.originTime = request->transmitTime;
    reply.receiveTime = serverTime;
    reply.transmitTime = serverTime;
    return reply;
}

void FakeNetwork::Deliver(FakeChannelRecord& channel, const timequery::NtpPacket& packet, std::int64_t arrivesAt) {
    channel.inbox.push_back({PacketBytes(packet), channel.peer, std::nullopt, arrivesAt});
}

}  // namespace pelldor::testing
