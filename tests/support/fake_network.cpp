#include "support/fake_network.h"

#include <algorithm>
#include <utility>

#include "foundation/text.h"
#include "support/ntp_packets.h"

namespace pelldor::testing {
namespace {

class FakeLookup final : public platform::NameLookup {
public:
    FakeLookup(std::shared_ptr<FakeLookupRecord> record, const FakeClock& clock, FakeNetwork::LookupScript script)
        : record_(std::move(record)),
          clock_(clock),
          script_(std::move(script)),
          readyAt_(clock.monotonicNanos + script_.afterMs * 1'000'000LL) {}
    ~FakeLookup() override { record_->dropped = true; }

    platform::LookupStatus Poll() override {
        if (!script_.never && clock_.monotonicNanos >= readyAt_) {
            record_->reported = script_.failure.failed() ? platform::LookupStatus::Failed : platform::LookupStatus::Done;
        }
        return record_->reported;
    }
    const std::vector<platform::NetAddress>& Addresses() const override { return script_.addresses; }
    platform::NetFailure Failure() const override { return script_.failure; }

private:
    std::shared_ptr<FakeLookupRecord> record_;
    const FakeClock& clock_;
    FakeNetwork::LookupScript script_;
    std::int64_t readyAt_;
};

class FakeChannel final : public platform::UdpChannel {
public:
    FakeChannel(FakeNetwork& network, FakeClock& clock, std::shared_ptr<FakeChannelRecord> record)
        : network_(network), clock_(clock), record_(std::move(record)) {}
    ~FakeChannel() override { record_->closed = true; }

    platform::NetFailure Send(std::span<const std::uint8_t> bytes) override {
        if (record_->sendError.failed()) return record_->sendError;
        record_->sent.emplace_back(bytes.begin(), bytes.end());
        if (network_.onSend) network_.onSend(*record_);
        return {};
    }

    platform::ReceiveResult Receive(std::span<std::uint8_t> buffer) override {
        if (record_->inbox.empty() || record_->inbox.front().arrivesAt > clock_.monotonicNanos) {
            if (!record_->receiveError.failed()) return {};
            return {platform::ReceiveStatus::NetworkError, 0, {}, record_->receiveError};
        }
        FakeDatagram datagram = std::move(record_->inbox.front());
        record_->inbox.pop_front();
        const std::size_t copied = std::min(datagram.bytes.size(), buffer.size());
        std::copy_n(datagram.bytes.begin(), copied, buffer.begin());
        if (network_.onReceive) network_.onReceive(*record_, datagram);
        return {platform::ReceiveStatus::Datagram, datagram.bytes.size(), datagram.from, {}};
    }

    // When it can next be read: its first datagram's arrival, or now for a refusal.
    [[nodiscard]] std::optional<std::int64_t> NextArrival() const {
        if (!record_->inbox.empty()) return record_->inbox.front().arrivesAt;
        if (record_->receiveError.failed()) return clock_.monotonicNanos;
        return std::nullopt;
    }

private:
    FakeNetwork& network_;
    FakeClock& clock_;
    std::shared_ptr<FakeChannelRecord> record_;
};

}  // namespace

FakeNetwork::FakeNetwork(FakeClock& clock, UnexpectedUse onUnexpected)
    : clock_(clock), onUnexpected_(std::move(onUnexpected)) {
    clock_.arrival = [](const platform::Channel& channel) -> std::optional<std::int64_t> {
        const auto* fake = dynamic_cast<const FakeChannel*>(&channel);
        return fake != nullptr ? fake->NextArrival() : std::nullopt;
    };
}

FakeNetwork::~FakeNetwork() { clock_.arrival = nullptr; }

std::unique_ptr<platform::NameLookup> FakeNetwork::StartLookup(const std::string& host, std::uint16_t port) {
    auto record = lookups.emplace_back(std::make_shared<FakeLookupRecord>(FakeLookupRecord{host, port}));
    const auto it = hosts_.find(host);
    if (it == hosts_.end()) {
        ReportUnexpected(onUnexpected_, "no lookup scripted for " + host);
        return std::make_unique<FakeLookup>(record, clock_, LookupScript{{}, {platform::NetError::Other, 0}});
    }
    LookupScript script = it->second;
    for (auto& address : script.addresses) address.port = port;
    return std::make_unique<FakeLookup>(record, clock_, std::move(script));
}

platform::OpenResult FakeNetwork::OpenUdp(const platform::NetAddress& peer) {
    const PeerScript& script = peers_[AddressText(peer)];
    auto record = std::make_shared<FakeChannelRecord>();
    record->peer = peer;
    record->sendError = script.sendError;
    record->receiveError = script.receiveError;
    platform::NetFailure refused = script.openError;
    if (!refused.failed() && onOpen) refused = onOpen(*record);
    if (refused.failed()) return {nullptr, refused};
    channels.push_back(record);
    return {std::make_unique<FakeChannel>(*this, clock_, record), {}};
}

void FakeNetwork::Resolve(const std::string& host, std::vector<platform::NetAddress> addresses, int afterMs) {
    hosts_[host] = {std::move(addresses), {}, afterMs, false};
}
void FakeNetwork::FailLookup(const std::string& host, platform::NetError why, int afterMs) {
    hosts_[host] = {{}, {why, 0}, afterMs, false};
}
void FakeNetwork::NeverResolve(const std::string& host) { hosts_[host] = {{}, {}, 0, true}; }
void FakeNetwork::FailOpen(const platform::NetAddress& peer, platform::NetError why) {
    peers_[AddressText(peer)].openError = {why, 0};
}
void FakeNetwork::FailSend(const platform::NetAddress& peer, platform::NetError why) {
    peers_[AddressText(peer)].sendError = {why, 0};
}
void FakeNetwork::Refuse(const platform::NetAddress& peer, platform::NetError why) {
    peers_[AddressText(peer)].receiveError = {why, 0};
}

exchange::NtpPacket FakeNetwork::ReplyTo(const FakeChannelRecord& channel, std::int64_t serverOffsetNanos) const {
    const auto request = channel.sent.empty() ? std::nullopt : exchange::DecodePacket(channel.sent.back());
    if (!request) {
        ReportUnexpected(onUnexpected_, "no request to answer was sent to " + AddressText(channel.peer));
        return {};
    }
    const std::uint64_t serverTime = NtpAt(clock_.wallNanos + serverOffsetNanos);
    return {.version = exchange::kNtpVersion, .mode = exchange::kModeServer, .stratum = 2, .poll = request->poll,
            .precision = -20, .rootDelay = 0x0000'0800, .rootDispersion = 0x0000'0400, .referenceId = 0x7f00'0001,
            .referenceTime = serverTime - (std::uint64_t{64} << 32), .originTime = request->transmitTime,
            .receiveTime = serverTime, .transmitTime = serverTime};
}

void FakeNetwork::Deliver(FakeChannelRecord& channel, const exchange::NtpPacket& packet, std::int64_t arrivesAt) {
    channel.inbox.push_back({PacketBytes(packet), channel.peer, std::nullopt, arrivesAt});
}

}  // namespace pelldor::testing
