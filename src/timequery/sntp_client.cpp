#include "timequery/sntp_client.h"

#include <algorithm>
#include <cassert>
#include <span>
#include <string>
#include <utility>

#include "timequery/ntp_wire.h"

namespace pelldor::timequery {
namespace {

// A flood of datagrams is read across several deliveries instead of starving the program.
constexpr int kMaxDatagramsPerAdvance = 64;
// With resending on: the requests an address gets before the next one takes its turn.
constexpr std::size_t kRequestsPerAddress = 2;
// An address asked on and on keeps its requests' cookies this far back.
constexpr std::size_t kRequestsKept = 8;
// With resending on, a name still being looked up is looked at this often: its resolver
// thread has no way to wake the waiting caller.
constexpr int kLookupPollMilliseconds = 1;

// "16.4": whole seconds and the tenth below them, from 32.32 fixed point.
std::string TenthsOfSeconds(std::uint64_t fixed) {
    const std::uint64_t tenth = ((fixed & 0xffff'ffffU) * 10) >> 32;
    return std::to_string(fixed >> 32) + "." + std::to_string(tenth);
}

struct Rejection {
    ClientError code;
    std::string notice;
};

// What the run hears of a reply that answers our request without a usable time; nothing
// for a datagram that answers no request of ours, which is only ignored.
std::optional<Rejection> RejectionOf(ReplyCheck check, const NtpPacket& reply, const Exchange& ours) {
    switch (check) {
    case ReplyCheck::Accept:
    case ReplyCheck::NotServerMode:
    case ReplyCheck::BadVersion:
    case ReplyCheck::OriginMismatch:
        return std::nullopt;
    case ReplyCheck::KissOfDeath:
        return Rejection{ClientError::KissOfDeath, "Kiss-o'-death from server: " + KissCode(reply.referenceId)};
    case ReplyCheck::KissNotSynchronised:
        return Rejection{ClientError::Unsynchronised,
                         "Server not synchronised (kiss code " + KissCode(reply.referenceId) + ")"};
    case ReplyCheck::LeapAlarm:
        return Rejection{ClientError::Unsynchronised, "Server not synchronised (leap indicator 3)"};
    case ReplyCheck::StratumUnsynchronised:
        return Rejection{ClientError::Unsynchronised,
                         "Server not synchronised (stratum " + std::to_string(reply.stratum) + ")"};
    case ReplyCheck::ZeroTransmit:
        return Rejection{ClientError::BadReply, "Invalid reply: zero transmit timestamp"};
    case ReplyCheck::TransmitBeforeReceive:
        return Rejection{ClientError::BadReply, "Invalid reply: transmit timestamp before receive timestamp"};
    case ReplyCheck::HeldLongerThanExchange:
        return Rejection{ClientError::BadReply, "Invalid reply: server held the request longer than the exchange took"};
    case ReplyCheck::RootDistanceTooLarge:
        return Rejection{ClientError::BadReply, "Invalid reply: root distance " +
                                                    TenthsOfSeconds(RootDistance(reply, ours)) + " s (limit 16 s)"};
    }
    return std::nullopt;
}

}  // namespace

SntpClient::SntpClient(platform::Platform& platform) : TimeClient(platform.Events()), platform_(platform) {
    platform_.Events().AddSource(this);
}

SntpClient::~SntpClient() { platform_.Events().RemoveSource(this); }

void SntpClient::BeginQuery() {
    done_ = false;
    received_.reset();
    measurement_.reset();
    lastAsked_.reset();
    query_ = Query{};
    query_->startNanos = platform_.MonotonicNanos();

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
    // A numeric address resolves at once; the request goes out now, not a pause later.
    Advance();
}

void SntpClient::Advance() {
    if (query_ && !query_->request) {
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
    if (query_ && query_->request) ReadReplies();
    if (query_ && query_->request && resendNanos_ > 0) ResendWhenDue();
    if (!query_) return;

    const std::int64_t limit = std::int64_t{timeoutSeconds_} * platform::kNanosPerSecond;
    if (timeoutSeconds_ > 0 && platform_.MonotonicNanos() - query_->startNanos >= limit) {
        Fail(ClientError::TimedOut, "No answer within " + std::to_string(timeoutSeconds_) + " s");
    }
}

platform::LookupStatus SntpClient::PollResolution() {
    Resolution& r = *resolution_;
    if (r.lookup) {
        r.status = r.lookup->Poll();
        if (r.status == platform::LookupStatus::Pending) return r.status;
        if (r.status == platform::LookupStatus::Done) {
            for (const platform::NetAddress& address : r.lookup->Addresses()) {
                if (!family_ || address.family == *family_) r.addresses.push_back(address);
            }
            if (r.addresses.empty()) {
                r.status = platform::LookupStatus::Failed;
                r.failure = {platform::NetError::NoAddressOfFamily, 0};
            }
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
    query_->first = r.nextFirst;
    r.nextFirst = (r.nextFirst + 1) % r.addresses.size();
    SendToNextAddress();
}

void SntpClient::SendToNextAddress(bool again) {
    Query& q = *query_;
    q.request.reset();
    const std::vector<platform::NetAddress>& addresses = resolution_->addresses;
    if (again && q.tried == addresses.size()) q.tried = 0;
    while (q.tried < addresses.size()) {
        platform::NetAddress peer = addresses[(q.first + q.tried++) % addresses.size()];
        peer.port = static_cast<std::uint16_t>(port_);
        if (const Silenced* silenced = FindSilenced(peer)) {
            q.silencedNotice = silenced->notice;
            continue;
        }
        platform::OpenResult opened = platform_.OpenUdp(peer);
        if (!opened.channel) {
            q.lastNetworkError = opened.failure;
            continue;
        }
        Request request;
        request.channel = std::move(opened.channel);
        request.peer = peer;
        if (!Send(request)) continue;
        q.request = std::move(request);
        return;
    }
    if (q.silencedNotice && !q.lastNetworkError.failed()) {
        // Nothing was sent: every address this query could ask has told us to stop.
        Fail(ClientError::KissOfDeath, std::move(*q.silencedNotice));
    } else {
        Fail(ClientError::NetworkError, "Network error: " + platform::Describe(q.lastNetworkError));
    }
}

bool SntpClient::Send(Request& request) {
    Sent sent;
    sent.cookie = platform_.Random64();
    const auto bytes = EncodeRequest(sent.cookie);
    sent.wall = platform_.ReadWallClock();
    sent.monotonic = platform_.MonotonicNanos();
    const platform::NetFailure error = request.channel->Send(bytes);
    if (error.failed()) {
        query_->lastNetworkError = error;
        return false;
    }
    request.sent.push_back(sent);
    lastAsked_ = request.peer;
    return true;
}

void SntpClient::ResendWhenDue() {
    Request& request = *query_->request;
    if (platform_.MonotonicNanos() - request.sent.back().monotonic < resendNanos_) return;
    const bool anotherAddress = std::any_of(resolution_->addresses.begin(), resolution_->addresses.end(),
                                            [&](platform::NetAddress address) {
                                                address.port = request.peer.port;
                                                return address != request.peer && FindSilenced(address) == nullptr;
                                            });
    if (request.sent.size() >= kRequestsPerAddress && anotherAddress) {
        SendToNextAddress(true);
        return;
    }
    // A reply to a request older than these is too late to be worth its round trip.
    if (request.sent.size() == kRequestsKept) request.sent.erase(request.sent.begin());
    if (!Send(request)) SendToNextAddress(true);
}

void SntpClient::WaitForNews(std::int64_t untilNanos) {
    if (!query_) return;
    const std::int64_t now = platform_.MonotonicNanos();
    if (!query_->request) {
        const std::int64_t left = untilNanos - now;
        if (left > 0) platform_.Sleep(left < kLookupPollMilliseconds * 1'000'000 ? 1 : kLookupPollMilliseconds);
        return;
    }
    const Request& request = *query_->request;
    std::int64_t wakeAt = untilNanos;
    if (resendNanos_ > 0) wakeAt = std::min(wakeAt, request.sent.back().monotonic + resendNanos_);
    request.channel->WaitReadable(wakeAt - now);
}

void SntpClient::ReadReplies() {
    for (int i = 0; i < kMaxDatagramsPerAdvance; ++i) {
        const Request& request = *query_->request;
        const platform::ReceiveResult got = request.channel->Receive(buffer_);
        switch (got.status) {
        case platform::ReceiveStatus::Nothing:
            return;
        case platform::ReceiveStatus::NetworkError:
            query_->lastNetworkError = got.failure;
            SendToNextAddress();
            return;
        case platform::ReceiveStatus::Datagram:
            if (got.from == request.peer && got.size >= kNtpPacketSize && TakeReply(got.size)) return;
            break;
        }
    }
}

bool SntpClient::TakeReply(std::size_t size) {
    const Request& request = *query_->request;
    const auto reply = DecodePacket(std::span(buffer_).first(std::min(size, buffer_.size())));
    assert(reply.has_value());
    // The request this answers, by its cookie; a reply that echoes none is checked against
    // the last, which it fails.
    const auto answered = std::find_if(request.sent.begin(), request.sent.end(),
                                       [&](const Sent& s) { return s.cookie == reply->originTime; });
    const Sent& sent = answered != request.sent.end() ? *answered : request.sent.back();
    const std::int64_t elapsed = std::max<std::int64_t>(platform_.MonotonicNanos() - sent.monotonic, 0);
    const Exchange ours{sent.cookie, ToNtpTimestamp(sent.wall.utc), ToNtpTimestamp(platform::AddNanos(sent.wall.utc, elapsed))};
    const ReplyCheck check = CheckReply(*reply, ours);
    if (check == ReplyCheck::Accept) {
        const std::int64_t offset = ClockOffsetNanos(ours.sentAt, reply->receiveTime, reply->transmitTime, ours.receivedAt);
        const platform::PreciseLocalTime sentLocal{sent.wall.local, sent.wall.utc.nanos,
                                                   sent.wall.ZoneOffsetSeconds()};
        received_ = platform::AddNanos(platform::AddNanos(sentLocal, elapsed), offset);
        measurement_ = Measurement{offset, RoundTripNanos(*reply, ours), reply->stratum, request.peer};
        Finish();
        return true;
    }
    std::optional<Rejection> rejection = RejectionOf(check, *reply, ours);
    if (!rejection) return false;
    if (rejection->code == ClientError::KissOfDeath) silenced_.push_back({request.peer, rejection->notice});
    Fail(rejection->code, std::move(rejection->notice));
    return true;
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
    // The name lookup stays: it belongs to the run, not to the query.
    query_.reset();
    done_ = true;
}

}  // namespace pelldor::timequery
