#include "support/fake_network.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <utility>

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
        if (never_ || platform_.monotonicNanos < readyAt_) return platform::LookupStatus::Pending;
        return failure_.failed() ? platform::LookupStatus::Failed : platform::LookupStatus::Done;
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
    FakeChannel(std::shared_ptr<FakeChannelRecord> record, platform::NetFailure sendError,
                platform::NetFailure receiveError)
        : record_(std::move(record)), sendError_(sendError), receiveError_(receiveError) {}
    ~FakeChannel() override { record_->closed = true; }

    platform::NetFailure Send(std::span<const std::uint8_t> bytes) override {
        if (!sendError_.failed()) record_->sent.emplace_back(bytes.begin(), bytes.end());
        return sendError_;
    }

    platform::ReceiveResult Receive(std::span<std::uint8_t> buffer) override {
        if (record_->inbox.empty()) {
            if (!receiveError_.failed()) return {};
            return {platform::ReceiveStatus::NetworkError, 0, {}, receiveError_};
        }
        FakeDatagram datagram = std::move(record_->inbox.front());
        record_->inbox.pop_front();
        const std::size_t copied = std::min(datagram.bytes.size(), buffer.size());
        std::copy_n(datagram.bytes.begin(), copied, buffer.begin());
        return {platform::ReceiveStatus::Datagram, datagram.bytes.size(), datagram.from, {}};
    }

private:
    std::shared_ptr<FakeChannelRecord> record_;
    platform::NetFailure sendError_;
    platform::NetFailure receiveError_;
};

}  // namespace

FakeNetwork::FakeNetwork(FakePlatform& platform) : platform_(platform) {
    platform.lookupHook = [this](const std::string& host, std::uint16_t port)
        -> std::unique_ptr<platform::NameLookup> {
        auto record = lookups.emplace_back(std::make_shared<FakeLookupRecord>(FakeLookupRecord{host, port}));
        const auto it = hosts_.find(host);
        if (it == hosts_.end()) {
            ADD_FAILURE() << "no lookup scripted for " << host;
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
        const PeerScript& script = peers_[AddressText(peer)];
        if (script.openError.failed()) return {nullptr, script.openError};
        auto record = channels.emplace_back(std::make_shared<FakeChannelRecord>());
        record->peer = peer;
        return {std::make_unique<FakeChannel>(record, script.sendError, script.receiveError), {}};
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
    peers_[AddressText(peer)].openError = {why, 0};
}

void FakeNetwork::FailSend(const platform::NetAddress& peer, platform::NetError why) {
    peers_[AddressText(peer)].sendError = {why, 0};
}

void FakeNetwork::Refuse(const platform::NetAddress& peer, platform::NetError why) {
    peers_[AddressText(peer)].receiveError = {why, 0};
}

timequery::NtpPacket FakeNetwork::ReplyTo(const FakeChannelRecord& channel, std::int64_t serverOffsetNanos) const {
    timequery::NtpPacket reply;
    if (channel.sent.empty()) {
        ADD_FAILURE() << "no request was sent to " << AddressText(channel.peer);
        return reply;
    }
    const auto request = timequery::DecodePacket(channel.sent.back());
    if (!request) {
        ADD_FAILURE() << "short request to " << AddressText(channel.peer);
        return reply;
    }
    const std::int64_t serverNanos = platform_.wallNanos + serverOffsetNanos;
    std::int64_t seconds = serverNanos / 1'000'000'000;
    std::int64_t nanos = serverNanos % 1'000'000'000;
    if (nanos < 0) {
        --seconds;
        nanos += 1'000'000'000;
    }
    const std::uint64_t serverTime = timequery::ToNtpTimestamp({seconds, static_cast<std::uint32_t>(nanos)});
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

void FakeNetwork::Deliver(FakeChannelRecord& channel, const timequery::NtpPacket& packet) {
    const auto bytes = timequery::EncodePacket(packet);
    channel.inbox.push_back({{bytes.begin(), bytes.end()}, channel.peer});
}

}  // namespace pelldor::testing
