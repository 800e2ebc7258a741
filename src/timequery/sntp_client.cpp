#include "timequery/sntp_client.h"

#include <algorithm>
#include <cassert>
#include <span>
#include <string>
#include <utility>

#include "timequery/ntp_wire.h"

namespace pelldor::timequery {
namespace {

UnixTime ToUnix(const platform::WallReading& reading) {
    return UnixTime{reading.unixSeconds, reading.nanos};
}

}  // namespace

SntpClient::SntpClient(platform::Platform& platform) : platform_(platform) {
    platform_.Events().AddSource(this);
}

SntpClient::~SntpClient() { platform_.Events().RemoveSource(this); }

void SntpClient::BeginQuery() {
    DropQuery();
    done_ = false;
    received_.reset();
    startNanos_ = platform_.MonotonicNanos();

    if (port_ < 1 || port_ > 65535) {
        Fail(ClientError::InvalidPort, "Invalid port " + std::to_string(port_) + " (must be 1 to 65535)");
        return;
    }
    if (host_.empty()) {
        Fail(ClientError::NoHost, "No host given");
        return;
    }
    lookup_ = platform_.StartLookup(host_, static_cast<std::uint16_t>(port_));
    assert(lookup_ != nullptr);
    phase_ = Phase::Resolving;
    // A numeric address resolves at once; the request goes out now, not a pause later.
    Advance();
}

void SntpClient::Advance() {
    if (phase_ == Phase::Resolving) {
        switch (lookup_->Poll()) {
        case platform::LookupStatus::Pending:
            break;
        case platform::LookupStatus::Failed:
            Fail(ClientError::HostNotFound, "Host not found: " + platform::Describe(lookup_->Failure()));
            return;
        case platform::LookupStatus::Done:
            addresses_ = lookup_->Addresses();
            lookup_.reset();
            SendToNextAddress();
            break;
        }
    }
    if (phase_ == Phase::Waiting) ReadReplies();
    if (phase_ == Phase::Idle) return;

    const std::int64_t limit = std::int64_t{timeoutSeconds_} * 1'000'000'000;
    if (timeoutSeconds_ > 0 && platform_.MonotonicNanos() - startNanos_ >= limit) {
        Fail(ClientError::TimedOut, "No answer within " + std::to_string(timeoutSeconds_) + " s");
    }
}

void SntpClient::SendToNextAddress() {
    channel_.reset();
    while (nextAddress_ < addresses_.size()) {
        const platform::NetAddress& peer = addresses_[nextAddress_++];
        platform::OpenResult opened = platform_.OpenUdp(peer);
        if (!opened.channel) {
            lastNetworkError_ = opened.failure;
            continue;
        }
        const std::uint64_t cookie = platform_.Random64();
        const auto request = EncodeRequest(cookie);
        const platform::WallReading sentAt = platform_.ReadWallClock();
        const platform::NetFailure error = opened.channel->Send(request);
        if (error.failed()) {
            lastNetworkError_ = error;
            continue;
        }
        channel_ = std::move(opened.channel);
        peer_ = peer;
        cookie_ = cookie;
        sentAt_ = ToNtpTimestamp(ToUnix(sentAt));
        phase_ = Phase::Waiting;
        return;
    }
    Fail(ClientError::NetworkError, "Network error: " + platform::Describe(lastNetworkError_));
}

void SntpClient::ReadReplies() {
    for (int i = 0; i < kMaxDatagramsPerAdvance; ++i) {
        platform::ReceiveResult got = channel_->Receive(buffer_);
        switch (got.status) {
        case platform::ReceiveStatus::Nothing:
            return;
        case platform::ReceiveStatus::NetworkError:
            lastNetworkError_ = got.failure;
            SendToNextAddress();
            return;
        case platform::ReceiveStatus::Datagram:
            if (got.from == peer_ && got.size >= kNtpPacketSize && TakeReply(got.size)) return;
            break;
        }
    }
}

bool SntpClient::TakeReply(std::size_t size) {
    const platform::WallReading receivedAt = platform_.ReadWallClock();
    const auto reply = DecodePacket(std::span(buffer_).first(std::min(size, buffer_.size())));
    assert(reply.has_value());
    const ReplyCheck check = CheckReply(*reply, cookie_);
    switch (check) {
    case ReplyCheck::Accept: {
        const std::int64_t offset = ClockOffsetNanos(sentAt_, reply->receiveTime, reply->transmitTime,
                                                      ToNtpTimestamp(ToUnix(receivedAt)));
        received_ = platform::AddNanos({receivedAt.local, receivedAt.nanos}, offset);
        Finish();
        return true;
    }
    case ReplyCheck::KissOfDeath:
        Fail(ClientError::KissOfDeath, "Kiss-o'-death from server: " + KissCode(reply->referenceId));
        return true;
    case ReplyCheck::LeapAlarm:
        Fail(ClientError::Unsynchronised, "Server not synchronised (leap indicator 3)");
        return true;
    case ReplyCheck::StratumUnsynchronised:
        Fail(ClientError::Unsynchronised,
             "Server not synchronised (stratum " + std::to_string(reply->stratum) + ")");
        return true;
    case ReplyCheck::ZeroTransmit:
        Fail(ClientError::BadReply, "Invalid reply: zero transmit timestamp");
        return true;
    case ReplyCheck::NotServerMode:
    case ReplyCheck::BadVersion:
    case ReplyCheck::OriginMismatch:
        break;
    }
    assert(IsIgnored(check));
    return false;
}

void SntpClient::Fail(ClientError code, std::string description) {
    Finish();
    RaiseError(code, std::move(description));
}

void SntpClient::Finish() {
    DropQuery();
    done_ = true;
}

void SntpClient::DropQuery() {
    // Closing the socket means no late datagram of this query can be read by the next one.
    lookup_.reset();
    channel_.reset();
    addresses_.clear();
    nextAddress_ = 0;
    lastNetworkError_ = {};
    phase_ = Phase::Idle;
}

}  // namespace pelldor::timequery
