#include "exchange/exchange.h"

#include <algorithm>
#include <cassert>
#include <span>
#include <utility>

namespace pelldor::exchange {
namespace {

// With resending on: the requests an address gets before the next one takes its turn.
constexpr std::size_t kRequestsPerAddress = 2;
// An address asked on and on keeps its requests' cookies this far back: a reply to an older
// request is too late to be worth its round trip.
constexpr std::size_t kRequestsKept = 8;
// A name still being looked up is looked at this often: its resolver thread has no way to
// wake the loop.
constexpr std::int64_t kLookupPollNanos = 1'000'000;
// Datagrams read between two looks at the clock, so that a flood cannot hold the loop past
// its time.
constexpr int kReadsPerLook = 64;

}  // namespace

Client::Client(platform::Clock& clock, platform::Network& network, Loop& loop)
    : clock_(clock), network_(network), loop_(loop) {}

Client::~Client() = default;

std::unique_ptr<Exchange> Client::Begin(Plan plan, std::function<void(const Result&)> finished) {
    std::unique_ptr<Exchange> exchange(new Exchange(*this, std::move(plan), std::move(finished)));
    exchange->Start();
    return exchange;
}

std::vector<Result> Client::Run(std::vector<Plan> plans) {
    std::vector<std::unique_ptr<Exchange>> exchanges;
    std::int64_t deadline = 0;
    for (Plan& plan : plans) {
        exchanges.push_back(Begin(std::move(plan)));
        deadline = std::max(deadline, exchanges.back()->deadline_);
    }
    const auto allDone = [&] {
        return std::all_of(exchanges.begin(), exchanges.end(), [](const auto& e) { return e->Done(); });
    };
    // Each ends by its own deadline; a plan without one waits for its answer alone.
    while (!allDone()) loop_.RunUntil(deadline, allDone);
    std::vector<Result> results;
    for (const auto& exchange : exchanges) results.push_back(exchange->result());
    return results;
}

void Client::LookUp(const std::vector<Plan>& plans, std::int64_t until) {
    std::vector<Resolution*> pending;
    for (const Plan& plan : plans) {
        if (!plan.host.empty() && plan.addresses.empty()) pending.push_back(&ResolutionOf(plan));
    }
    const auto allDone = [&] {
        for (Resolution* resolution : pending) Poll(*resolution);
        return std::none_of(pending.begin(), pending.end(),
                            [](const Resolution* r) { return r->status == platform::LookupStatus::Pending; });
    };
    // A resolver thread cannot wake the loop: it is looked at every poll interval.
    while (!allDone() && clock_.MonotonicNanos() < until) {
        loop_.RunUntil(std::min(clock_.MonotonicNanos() + kLookupPollNanos, until));
    }
}

std::vector<platform::NetAddress> Client::AddressesOf(const std::string& host) const {
    const Resolution* resolution = LookedUp(host);
    if (resolution == nullptr || resolution->status != platform::LookupStatus::Done) return {};
    return resolution->addresses;
}

Client::Resolution* Client::LookedUp(const std::string& host) const {
    for (const auto& known : resolutions_) {
        if (!known->given && known->host == host) return known.get();
    }
    return nullptr;
}

Client::Resolution& Client::ResolutionOf(const Plan& plan) {
    if (plan.addresses.empty()) {
        if (Resolution* known = LookedUp(plan.host)) return *known;
    }
    auto& resolution = *resolutions_.emplace_back(std::make_unique<Resolution>());
    resolution.host = plan.host;
    if (plan.addresses.empty()) {
        resolution.lookup = network_.StartLookup(plan.host, static_cast<std::uint16_t>(plan.port));
        assert(resolution.lookup != nullptr);
    } else {
        resolution.given = true;
        resolution.status = platform::LookupStatus::Done;
        resolution.addresses = plan.addresses;
    }
    return resolution;
}

void Client::Poll(Resolution& r) {
    if (!r.lookup) return;
    r.status = r.lookup->Poll();
    if (r.status == platform::LookupStatus::Pending) return;
    if (r.status == platform::LookupStatus::Done) {
        r.addresses = r.lookup->Addresses();
    } else {
        r.failure = r.lookup->Failure();
    }
    r.lookup.reset();
}

const Client::Silenced* Client::FindSilenced(const platform::NetAddress& address) const {
    const auto it = std::find_if(silenced_.begin(), silenced_.end(), [&](const Silenced& s) { return s.address == address; });
    return it == silenced_.end() ? nullptr : &*it;
}

Exchange::Exchange(Client& client, Plan plan, std::function<void(const Result&)> finished)
    : client_(client), plan_(std::move(plan)), finished_(std::move(finished)) {}

Exchange::~Exchange() { client_.loop_.Remove(*this); }

void Exchange::Start() {
    startNanos_ = client_.clock_.MonotonicNanos();
    if (plan_.timeoutNanos > 0) deadline_ = startNanos_ + plan_.timeoutNanos;
    if (plan_.host.empty() && plan_.addresses.empty()) {
        Fail(Notice::NoHost, notice::NoHost());
        return;
    }
    if (plan_.port < 1 || plan_.port > 65535) {
        Fail(Notice::InvalidPort, notice::InvalidPort(plan_.port));
        return;
    }
    resolution_ = &client_.ResolutionOf(plan_);
    client_.loop_.Add(*this);
    // A numeric address resolves at once; the request goes out now, not a wait later.
    Advance(startNanos_);
}

platform::Channel* Exchange::Channel() { return request_ ? request_->channel.get() : nullptr; }

std::int64_t Exchange::WakeAt() const {
    if (Done()) return platform::kNever;
    if (!request_) return std::min(pollAt_, deadline_);
    std::int64_t wake = deadline_;
    if (plan_.resendNanos > 0) wake = std::min(wake, request_->sent.back().monotonic + plan_.resendNanos);
    return wake;
}

void Exchange::Advance(std::int64_t until) {
    if (Done()) return;
    if (!request_) {
        Client::Resolution& r = *resolution_;
        Client::Poll(r);
        switch (r.status) {
        case platform::LookupStatus::Pending:
            pollAt_ = client_.clock_.MonotonicNanos() + kLookupPollNanos;
            break;
        case platform::LookupStatus::Failed:
            result_.failure = r.failure;
            Fail(Notice::HostNotFound, notice::HostNotFound(r.failure));
            return;
        case platform::LookupStatus::Done:
            StartSending();
            break;
        }
    }
    if (!Done() && request_) ReadReplies(until);
    if (!Done() && request_ && plan_.resendNanos > 0) ResendWhenDue();
    if (!Done() && client_.clock_.MonotonicNanos() >= deadline_) {
        Fail(Notice::TimedOut, notice::TimedOut(plan_.timeoutNanos));
    }
}

void Exchange::StartSending() {
    for (platform::NetAddress address : resolution_->addresses) {
        if (plan_.family && address.family != *plan_.family) continue;
        address.port = static_cast<std::uint16_t>(plan_.port);
        addresses_.push_back(address);
    }
    if (addresses_.empty()) {
        Fail(Notice::HostNotFound, notice::HostNotFound({platform::NetError::NoAddressOfFamily, 0}));
        return;
    }
    // Each exchange begins one address further down the list than the one before, so a
    // silent first address cannot hide the rest from every retry.
    first_ = resolution_->nextFirst++ % addresses_.size();
    SendToNextAddress();
}

void Exchange::SendToNextAddress(bool again) {
    request_.reset();
    // Each address once; with `again`, round and round, each address once more at most.
    const std::size_t count = addresses_.size();
    for (std::size_t looked = 0; looked < count && (again || tried_ < count); ++looked) {
        const platform::NetAddress& peer = addresses_[(first_ + tried_++) % count];
        if (const Client::Silenced* silenced = client_.FindSilenced(peer)) {
            passedOver_ = *silenced;
            continue;
        }
        platform::OpenResult opened = client_.network_.OpenUdp(peer);
        if (!opened.channel) {
            lastNetworkError_ = opened.failure;
            continue;
        }
        Request request;
        request.channel = std::move(opened.channel);
        request.peer = peer;
        if (!Send(request)) continue;
        request_ = std::move(request);
        return;
    }
    if (passedOver_ && !lastNetworkError_.failed()) {
        // Every address this exchange could still ask has told us to stop.
        result_.kissCode = passedOver_->kissCode;
        Fail(Notice::KissOfDeath, passedOver_->text);
    } else {
        result_.failure = lastNetworkError_;
        Fail(Notice::NetworkError, notice::NetworkError(lastNetworkError_));
    }
}

bool Exchange::Send(Request& request) {
    Sent sent;
    sent.cookie = client_.network_.Random64();
    const auto header = EncodeRequest(sent.cookie);
    const std::vector<std::uint8_t> bytes =
        plan_.authenticator ? plan_.authenticator->Extend(header) : std::vector<std::uint8_t>(header.begin(), header.end());
    sent.wall = client_.clock_.ReadWallClock();
    sent.monotonic = client_.clock_.MonotonicNanos();
    const platform::NetFailure error = request.channel->Send(bytes);
    if (error.failed()) {
        lastNetworkError_ = error;
        return false;
    }
    // A reply to a request older than these is too late to be worth its round trip.
    if (request.sent.size() == kRequestsKept) request.sent.erase(request.sent.begin());
    request.sent.push_back(sent);
    result_.asked = request.peer;
    return true;
}

void Exchange::ResendWhenDue() {
    Request& request = *request_;
    if (client_.clock_.MonotonicNanos() - request.sent.back().monotonic < plan_.resendNanos) return;
    // Nothing more goes out once the deadline has come; what arrived by then is still read.
    if (client_.clock_.MonotonicNanos() >= deadline_) return;
    const bool anotherAddress = std::any_of(addresses_.begin(), addresses_.end(), [&](const platform::NetAddress& a) {
        return a != request.peer && client_.FindSilenced(a) == nullptr;
    });
    if (request.sent.size() >= kRequestsPerAddress && anotherAddress) {
        SendToNextAddress(true);
        return;
    }
    if (!Send(request)) SendToNextAddress(true);
}

void Exchange::ReadReplies(std::int64_t until) {
    for (int read = 1;; ++read) {
        const platform::ReceiveResult got = request_->channel->Receive(buffer_);
        switch (got.status) {
        case platform::ReceiveStatus::Nothing:
            return;
        case platform::ReceiveStatus::NetworkError:
            lastNetworkError_ = got.failure;
            SendToNextAddress();
            return;
        case platform::ReceiveStatus::Datagram:
            if (got.from == request_->peer && got.size >= kNtpPacketSize && TakeReply(got.size)) return;
            break;
        }
        if (read % kReadsPerLook == 0 && client_.clock_.MonotonicNanos() >= until) return;
    }
}

bool Exchange::TakeReply(std::size_t size) {
    const Request& request = *request_;
    const auto bytes = std::span<const std::uint8_t>(buffer_).first(std::min(size, buffer_.size()));
    const auto reply = DecodePacket(bytes);
    assert(reply.has_value());
    if (plan_.authenticator) {
        const Authenticator::Examined examined = plan_.authenticator->Examine(size > buffer_.size() ? bytes.first(0) : bytes);
        if (examined.finding == Authenticator::Finding::Refused) {
            result_.kissCode = KissCode(reply->referenceId);
            Fail(Notice::KissOfDeath, notice::NtsRefused());
            return true;
        }
        if (examined.finding == Authenticator::Finding::Forged) {
            Fail(Notice::BadReply, notice::NotAuthentic(examined.why));
            return true;
        }
    }
    // The request this answers, by its cookie; a reply that echoes none is checked against
    // the last, which it fails.
    const auto answered = std::find_if(request.sent.begin(), request.sent.end(),
                                       [&](const Sent& s) { return s.cookie == reply->originTime; });
    const Sent& sent = answered != request.sent.end() ? *answered : request.sent.back();
    const std::int64_t elapsed = std::max<std::int64_t>(client_.clock_.MonotonicNanos() - sent.monotonic, 0);
    const Stamps ours{sent.cookie, ToNtpTimestamp(sent.wall.utc), ToNtpTimestamp(AddNanos(sent.wall.utc, elapsed))};
    const ReplyCheck check = CheckReply(*reply, ours);
    if (check == ReplyCheck::Accept) {
        Measurement m;
        m.offsetNanos = ClockOffsetNanos(ours.sentAt, reply->receiveTime, reply->transmitTime, ours.receivedAt);
        m.delayNanos = RoundTripNanos(*reply, ours);
        m.stratum = reply->stratum;
        m.leap = reply->leap;
        m.precision = reply->precision;
        m.referenceId = reply->referenceId;
        m.rootDistanceNanos = FixedToNanos(static_cast<std::int64_t>(RootDistance(*reply, ours)));
        m.referenceAgeNanos = FixedToNanos(static_cast<std::int64_t>(reply->transmitTime - reply->referenceTime));
        m.server = request.peer;
        result_.time = AddNanos(AddNanos(PreciseLocal(sent.wall), elapsed), m.offsetNanos);
        result_.measurement = m;
        Finish();
        return true;
    }
    std::optional<Rejection> rejection = RejectionOf(check, *reply, ours);
    if (!rejection) return false;
    if (check == ReplyCheck::KissOfDeath || check == ReplyCheck::KissNotSynchronised) {
        result_.kissCode = KissCode(reply->referenceId);
    }
    if (check == ReplyCheck::KissOfDeath) client_.silenced_.push_back({request.peer, rejection->text, result_.kissCode});
    Fail(rejection->notice, std::move(rejection->text));
    return true;
}

void Exchange::Fail(Notice notice, std::string text) {
    result_.notice = notice;
    result_.text = std::move(text);
    Finish();
}

void Exchange::Finish() {
    // Closing the socket means no late datagram of this exchange can be read by the next.
    request_.reset();
    result_.done = true;
    client_.loop_.Remove(*this);
    if (finished_) finished_(result_);
}

}  // namespace pelldor::exchange
