#include "timequery/sntp_client.h"

#include <algorithm>
#include <cassert>
#include <span>
#include <string>
#include <utility>

#include "timequery/ntp_wire.h"

namespace pelldor::timequery {
namespace {

constexpr std::int64_t kNanosPerSecond = 1'000'000'000;

UnixTime ToUnix(const platform::WallReading& reading) { return UnixTime{reading.unixSeconds, reading.nanos}; }

UnixTime Later(const UnixTime& t, std::int64_t nanos) {
    const std::int64_t total = static_cast<std::int64_t>(t.nanos) + nanos % kNanosPerSecond;
    const std::int64_t carry = total >= kNanosPerSecond ? 1 : 0;
    return UnixTime{t.seconds + nanos / kNanosPerSecond + carry,
                    static_cast<std::uint32_t>(total - carry * kNanosPerSecond)};
}

// "16.4": whole seconds and the tenth below them, from 32.32 fixed point.
std::string TenthsOfSeconds(std::uint64_t fixed) {
    const std::uint64_t tenth = ((fixed & 0xffff'ffffU) * 10) >> 32;
    return std::to_string(fixed >> 32) + "." + std::to_string(tenth);
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

    if (host_.empty()) {
        Fail(ClientError::NoHost, "No host given");
        return;
    }
    if (port_ < 1 || port_ > 65535) {
        Fail(ClientError::InvalidPort, "Invalid port " + std::to_string(port_) + " (must be 1 to 65535)");
        return;
    }
    if (!resolution_ || resolution_->host != host_) {
        resolution_ = Resolution{};
        resolution_->host = host_;
        resolution_->lookup = platform_.StartLookup(host_, static_cast<std::uint16_t>(port_));
        assert(resolution_->lookup != nullptr);
    }
    phase_ = Phase::Resolving;
    // A numeric address resolves at once; the request goes out now, not a pause later.
    Advance();
}

void SntpClient::Advance() {
    if (phase_ == Phase::Resolving) {
        switch (PollResolution()) {
        case platform::LookupStatus::Pending:
            break;
        case platform::LookupStatus::Failed:
            Fail(ClientError::HostNotFound, "Host not found: " + platform::Describe(resolution_->failure));
            return;
        case platform::LookupStatus::Done:
            StartSending();
            break;
        }
    }
    if (phase_ == Phase::Waiting) ReadReplies();
    if (phase_ == Phase::Idle) return;

    const std::int64_t limit = std::int64_t{timeoutSeconds_} * kNanosPerSecond;
    if (timeoutSeconds_ > 0 && platform_.MonotonicNanos() - startNanos_ >= limit) {
        Fail(ClientError::TimedOut, "No answer within " + std::to_string(timeoutSeconds_) + " s");
    }
}

platform::LookupStatus SntpClient::PollResolution() {
    Resolution& r = *resolution_;
    if (r.lookup) {
        r.status = r.lookup->Poll();
        if (r.status == platform::LookupStatus::Pending) return r.status;
        if (r.status == platform::LookupStatus::Done) {
            r.addresses = r.lookup->Addresses();
        } else {
            r.failure = r.lookup->Failure();
        }
        r.lookup.reset();
    }
    return r.status;
}

void SntpClient::StartSending() {
    // Each query begins one address further down the list than the one before, so a
    // silent first address cannot hide the rest from every retry.
    Resolution& r = *resolution_;
    first_ = r.nextFirst;
    r.nextFirst = (r.nextFirst + 1) % r.addresses.size();
    tried_ = 0;
    SendToNextAddress();
}

void SntpClient::SendToNextAddress() {
    channel_.reset();
    const std::vector<platform::NetAddress>& addresses = resolution_->addresses;
    while (tried_ < addresses.size()) {
        platform::NetAddress peer = addresses[(first_ + tried_++) % addresses.size()];
        peer.port = static_cast<std::uint16_t>(port_);
        if (const Silenced* silenced = FindSilenced(peer)) {
            silencedNotice_ = silenced->notice;
            continue;
        }
        platform::OpenResult opened = platform_.OpenUdp(peer);
        if (!opened.channel) {
            lastNetworkError_ = opened.failure;
            continue;
        }
        const std::uint64_t cookie = platform_.Random64();
        const auto request = EncodeRequest(cookie);
        const platform::WallReading sentWall = platform_.ReadWallClock();
        const std::int64_t sentMonotonic = platform_.MonotonicNanos();
        const platform::NetFailure error = opened.channel->Send(request);
        if (error.failed()) {
            lastNetworkError_ = error;
            continue;
        }
        channel_ = std::move(opened.channel);
        peer_ = peer;
        cookie_ = cookie;
        sentWall_ = sentWall;
        sentMonotonic_ = sentMonotonic;
        phase_ = Phase::Waiting;
        return;
    }
    if (silencedNotice_ && !lastNetworkError_.failed()) {
        // Nothing was sent: every address this query could ask has told us to stop.
        Fail(ClientError::KissOfDeath, std::move(*silencedNotice_));
    } else {
        Fail(ClientError::NetworkError, "Network error: " + platform::Describe(lastNetworkError_));
    }
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
    const std::int64_t elapsed = std::max<std::int64_t>(platform_.MonotonicNanos() - sentMonotonic_, 0);
    const UnixTime sentAt = ToUnix(sentWall_);
    const Exchange ours{cookie_, ToNtpTimestamp(sentAt), ToNtpTimestamp(Later(sentAt, elapsed))};
    const auto reply = DecodePacket(std::span(buffer_).first(std::min(size, buffer_.size())));
    assert(reply.has_value());
    const ReplyCheck check = CheckReply(*reply, ours);
    switch (check) {
    case ReplyCheck::Accept: {
        const std::int64_t offset =
            ClockOffsetNanos(ours.sentAt, reply->receiveTime, reply->transmitTime, ours.receivedAt);
        const platform::PreciseLocalTime receivedAt = platform::AddNanos({sentWall_.local, sentWall_.nanos}, elapsed);
        received_ = platform::AddNanos(receivedAt, offset);
        Finish();
        return true;
    }
    case ReplyCheck::KissOfDeath: {
        std::string notice = "Kiss-o'-death from server: " + KissCode(reply->referenceId);
        silenced_.push_back({peer_, notice});
        Fail(ClientError::KissOfDeath, std::move(notice));
        return true;
    }
    case ReplyCheck::KissNotSynchronised:
        Fail(ClientError::Unsynchronised, "Server not synchronised (kiss code " + KissCode(reply->referenceId) + ")");
        return true;
    case ReplyCheck::LeapAlarm:
        Fail(ClientError::Unsynchronised, "Server not synchronised (leap indicator 3)");
        return true;
    case ReplyCheck::StratumUnsynchronised:
        Fail(ClientError::Unsynchronised, "Server not synchronised (stratum " + std::to_string(reply->stratum) + ")");
        return true;
    case ReplyCheck::ZeroTransmit:
        Fail(ClientError::BadReply, "Invalid reply: zero transmit timestamp");
        return true;
    case ReplyCheck::TransmitBeforeReceive:
        Fail(ClientError::BadReply, "Invalid reply: transmit timestamp before receive timestamp");
        return true;
    case ReplyCheck::RootDistanceTooLarge:
        Fail(ClientError::BadReply, "Invalid reply: root distance " + TenthsOfSeconds(RootDistance(*reply, ours)) +
                                        " s (limit 16 s)");
        return true;
    case ReplyCheck::NotServerMode:
    case ReplyCheck::BadVersion:
    case ReplyCheck::OriginMismatch:
        break;
    }
    assert(IsIgnored(check));
    return false;
}

const SntpClient::Silenced* SntpClient::FindSilenced(const platform::NetAddress& address) const {
    const auto it = std::find_if(silenced_.begin(), silenced_.end(),
                                 [&](const Silenced& s) { return s.address == address; });
    return it == silenced_.end() ? nullptr : &*it;
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
    // The name lookup stays: it belongs to the run, not to the query.
    channel_.reset();
    tried_ = 0;
    lastNetworkError_ = {};
    silencedNotice_.reset();
    phase_ = Phase::Idle;
}

}  // namespace pelldor::timequery
