// The real SNTP client against the fake network: the fuzz input decides the lookup, the
// peers' failures, the datagrams that arrive (from the server or a stranger), how the
// clocks move and when a query is given up and begun again, as the retries do. Each query
// must end the way its last reply or its timeout says, and together they must respect
// what the client remembers for its lifetime: one name lookup, the addresses taken in
// turn, and the servers that told it to stop.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "support/fake_network.h"
#include "support/fake_platform.h"
#include "support/ntp_packets.h"
#include "timequery/ntp_wire.h"
#include "timequery/sntp_client.h"

namespace pelldor::fuzz {
namespace {

using platform::Int128;
using platform::NetAddress;
using testing::FakeChannelRecord;
using testing::FakeDatagram;
using testing::FakePlatform;
using testing::NtpAt;
using namespace pelldor::timequery;

constexpr std::int64_t kMs = 1'000'000;
constexpr std::int64_t kBillion = platform::kNanosPerSecond;
constexpr char kHost[] = "ntp.example";
constexpr std::uint16_t kPort = 123;
constexpr std::size_t kOversized = 2000;
constexpr std::size_t kMaxOps = 1024;
constexpr int kMaxQueries = 8;
// The client's own bound on the datagrams one delivery reads.
constexpr long kMaxReadsPerDelivery = 64;
// Reference ids for the synthetic reply; with stratum 0 the first three say stop.
constexpr std::uint32_t kReferenceIds[8] = {0x52415445, 0x44454e59, 0x52535452, 0x494e4954,
                                            0x53544550, 0x4c4f434c, 0x7f000001, 0};

bool Contains(const std::vector<NetAddress>& list, const NetAddress& address) {
    return std::find(list.begin(), list.end(), address) != list.end();
}

// The datagram read last, and when.
struct Taken {
    FakeDatagram datagram;
    const FakeChannelRecord* channel = nullptr;
    std::int64_t monotonic = 0;
};

struct Notice {
    std::int16_t code = 0;
    std::string text;
};

class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    [[nodiscard]] bool Empty() const { return at_ >= size_; }
    std::uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    std::vector<std::uint8_t> Bytes(std::size_t count) {
        count = std::min(count, size_ - std::min(at_, size_));
        std::vector<std::uint8_t> out(data_ + at_, data_ + at_ + count);
        at_ += count;
        return out;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

std::uint64_t CookieOf(const FakeChannelRecord& channel) {
    Check(!channel.sent.empty(), "a channel was kept without a request sent");
    const auto request = DecodePacket(channel.sent.back());
    Check(request.has_value() && channel.sent.back().size() == kNtpPacketSize, "a request is not 48 octets");
    Check(request->mode == kModeClient && request->version == kNtpVersion, "a request is not an SNTPv4 client packet");
    Check(request->originTime == 0 && request->receiveTime == 0 && request->referenceTime == 0,
          "a request carries a timestamp besides the cookie");
    return request->transmitTime;
}

std::int64_t UnixNanos(const platform::PreciseLocalTime& t) {
    return (platform::ToSerialSeconds(t.whole) - t.zoneOffsetSeconds) * kBillion + t.nanos;
}

bool Ignored(ReplyCheck check) {
    return check == ReplyCheck::NotServerMode || check == ReplyCheck::BadVersion || check == ReplyCheck::OriginMismatch;
}

std::string NoticeFor(ReplyCheck check, const NtpPacket& reply) {
    switch (check) {
    case ReplyCheck::KissOfDeath:
        return "Kiss-o'-death from server: " + KissCode(reply.referenceId);
    case ReplyCheck::KissNotSynchronised:
        return "Server not synchronised (kiss code " + KissCode(reply.referenceId) + ")";
    default:
        return {};
    }
}

class Scenario {
public:
    Scenario() {
        client_.OnError([this](std::int16_t code, const std::string& text) { notices_.push_back({code, text}); });
    }
    Scenario(const Scenario&) = delete;
    Scenario& operator=(const Scenario&) = delete;

    void Run(Reader& in) {
        const std::uint8_t flags = in.Byte();
        timeoutSeconds_ = static_cast<std::int16_t>(1 + (flags & 3));
        const int lookupMs = ((flags >> 2) & 3) * 300;
        if ((flags & 16) != 0) {
            NetAddress v6;
            v6.family = NetAddress::Family::V6;
            v6.bytes[15] = 1;
            addresses_.push_back(v6);
        }
        NetAddress v4;
        v4.bytes = {127, 0, 0, 1};
        addresses_.push_back(v4);
        for (auto& address : addresses_) address.port = kPort;
        if ((flags & 64) != 0) {
            net_.FailLookup(kHost, platform::NetError::NameNotFound, lookupMs);
        } else {
            net_.Resolve(kHost, addresses_, lookupMs);
        }
        const bool firstOpenFails = (flags & 32) != 0;
        const bool firstChannelRefuses = (flags & 128) != 0;

        net_.onOpen = [this, firstOpenFails, firstChannelRefuses](FakeChannelRecord& channel) -> platform::NetFailure {
            ExpectNextInTurn(channel.peer);
            if (opens_++ == 0 && firstOpenFails) return {platform::NetError::AddressFamily, 0};
            if (net_.channels.empty() && firstChannelRefuses) channel.receiveError = {platform::NetError::Refused, 0};
            return {};
        };
        net_.onSend = [this](FakeChannelRecord& channel) {
            Check(!Contains(silenced_, channel.peer), "a request went to a server that told us to stop");
            Check(cookies_.insert(CookieOf(channel)).second, "a cookie was sent twice");
        };
        net_.onReceive = [this](FakeChannelRecord& channel, const FakeDatagram& datagram) {
            // The kiss check comes before any that needs our timestamps.
            const auto reply = DecodePacket(datagram.bytes);
            if (datagram.from == channel.peer && reply &&
                CheckReply(*reply, {CookieOf(channel), 0, 0}) == ReplyCheck::KissOfDeath &&
                !Contains(silenced_, channel.peer)) {
                silenced_.push_back(channel.peer);
            }
            lastTaken_ = Taken{datagram, &channel, os_->monotonicNanos};
        };

        client_.QueryTimeout(timeoutSeconds_);
        client_.QueryHost(kHost);
        client_.QueryPort(kPort);
        Begin();
        for (std::size_t ops = 0; ops < kMaxOps && !in.Empty(); ++ops) Step(in);
        RunToEnd();
    }

private:
    [[nodiscard]] platform::LookupStatus Lookup() const {
        return net_.lookups.empty() ? platform::LookupStatus::Pending : net_.lookups.front()->reported;
    }

    void Begin() {
        ++queries_;
        notices_.clear();
        lastTaken_.reset();
        opened_.clear();
        failuresBefore_ = net_.failuresReported;
        doneAt_.reset();
        lookupBefore_ = Lookup();
        first_ = turn_ % addresses_.size();
        startNanos_ = os_->monotonicNanos;
        client_.BeginQuery();
        Observe();
    }

    // Each query starts one address further down the list than the last that got the
    // addresses, and goes on in order past the servers that told us to stop.
    void ExpectNextInTurn(const NetAddress& peer) {
        Check(Contains(addresses_, peer), "a socket to an address the lookup did not give");
        std::vector<NetAddress> order;
        for (std::size_t i = 0; i < addresses_.size(); ++i) {
            const NetAddress& next = addresses_[(first_ + i) % addresses_.size()];
            if (!Contains(silenced_, next)) order.push_back(next);
        }
        Check(opened_.size() < order.size(), "a query opened more sockets than it has addresses to ask");
        Check(peer == order[opened_.size()], "a query did not take the addresses in turn");
        opened_.push_back(peer);
    }

    // The query is over, one way or the other; the next begins where it left the list.
    void Close() {
        if (Lookup() == platform::LookupStatus::Done) ++turn_;
    }

    // Waited for to its end, as the run does while the query keeps its time.
    void RunToEnd() {
        const long ticks = timeoutSeconds_ * 100L + 2;
        for (long tick = 0; tick < ticks && !client_.QueryDone(); ++tick) {
            os_->Sleep(10);
            Deliver();
        }
        Deliver();
        Check(client_.QueryDone(), "the query outlived its timeout");
        Finished();
        Close();
    }

    // Begun again at once, as a retry after the run's own deadline: a query still in
    // progress is abandoned, one that has ended is judged first.
    void GiveUp() {
        if (client_.QueryDone()) {
            Deliver();
            Finished();
        }
        Close();
    }

    [[nodiscard]] FakeChannelRecord* Open() const {
        for (auto it = net_.channels.rbegin(); it != net_.channels.rend(); ++it) {
            if (!(*it)->closed) return it->get();
        }
        return nullptr;
    }

    void Queue(std::vector<std::uint8_t> bytes, bool fromPeer, std::optional<std::int64_t> serverNanos = {}) {
        FakeChannelRecord* channel = Open();
        if (channel == nullptr) return;
        NetAddress from = channel->peer;
        if (!fromPeer) from.port = static_cast<std::uint16_t>(from.port + 1);
        channel->inbox.push_back({std::move(bytes), from, serverNanos});
    }

    void WithCookie(std::vector<std::uint8_t>& bytes, std::size_t minimum) const {
        const FakeChannelRecord* channel = Open();
        if (channel == nullptr) return;
        if (bytes.size() < minimum) bytes.resize(minimum);
        const std::uint64_t cookie = CookieOf(*channel);
        for (int i = 0; i < 8; ++i) bytes[24 + i] = static_cast<std::uint8_t>(cookie >> (56 - 8 * i));
    }

    void Step(Reader& in) {
        const std::uint8_t op = in.Byte();
        switch (op & 7) {
        case 0:
        case 1:
            Queue(in.Bytes(in.Byte()), true);
            break;
        case 2: {
            auto bytes = in.Bytes(in.Byte());
            WithCookie(bytes, kNtpPacketSize);
            Queue(std::move(bytes), true);
            break;
        }
        case 3: {
            // A server whose clock is a whole number of milliseconds from ours.
            const FakeChannelRecord* channel = Open();
            const auto raw = in.Bytes(5);
            if (channel == nullptr || raw.size() < 5) break;
            const auto ms = static_cast<std::int32_t>(std::uint32_t{raw[0]} << 24 | std::uint32_t{raw[1]} << 16 |
                                                      std::uint32_t{raw[2]} << 8 | raw[3]);
            const std::int64_t server = os_->wallNanos + std::int64_t{ms} * kMs;
            NtpPacket reply;
            reply.leap = static_cast<std::uint8_t>((op >> 3) & 3);
            reply.version = kNtpVersion;
            reply.mode = kModeServer;
            reply.stratum = raw[4];
            reply.referenceId = kReferenceIds[op >> 5];
            reply.originTime = CookieOf(*channel);
            reply.receiveTime = NtpAt(server);
            reply.transmitTime = reply.receiveTime;
            Queue(testing::PacketBytes(reply), true, server);
            break;
        }
        case 4: {
            auto bytes = in.Bytes(in.Byte());
            WithCookie(bytes, kNtpPacketSize);
            Queue(std::move(bytes), false);
            break;
        }
        case 5:
            os_->Sleep(in.Byte() * 10);
            Deliver();
            break;
        case 6:
            switch (op >> 3) {
            case 1:
            case 2:
                if (queries_ >= kMaxQueries) break;
                if (op >> 3 == 1) {
                    RunToEnd();
                } else {
                    GiveUp();
                }
                Begin();
                break;
            case 3:
                // The wall clock alone is stepped, as an adjustment during the exchange would.
                os_->StepWallClock(static_cast<std::int8_t>(in.Byte()) * 100 * kMs);
                break;
            default:
                Deliver();
                break;
            }
            break;
        case 7: {
            auto bytes = in.Bytes(in.Byte());
            WithCookie(bytes, kNtpPacketSize);
            bytes.resize(kOversized);
            Queue(std::move(bytes), true);
            break;
        }
        }
    }

    void Deliver() {
        const long before = net_.receives;
        const bool wasDone = client_.QueryDone();
        os_->DeliverEvents();
        Check(net_.receives - before <= kMaxReadsPerDelivery, "one delivery read too many datagrams");
        if (wasDone) Check(net_.receives == before, "a finished query kept reading");
        Observe();
    }

    void Observe() {
        Check(net_.lookups.size() <= 1, "a second name lookup of the same host");
        for (const auto& lookup : net_.lookups) {
            Check(lookup->host == kHost && lookup->port == kPort, "the lookup is not for the host and port set");
            Check(!lookup->dropped || lookup->reported != platform::LookupStatus::Pending, "a pending lookup was dropped");
        }
        if (!client_.QueryDone() || doneAt_) return;
        doneAt_ = os_->monotonicNanos;
        for (const auto& channel : net_.channels) Check(channel->closed, "a finished query left a socket open");
    }

    // The reply that ended the query, which must be one this query asked for.
    const Taken& Ender() const {
        Check(lastTaken_.has_value(), "the query ended on a reply, but none was read");
        const Taken& taken = *lastTaken_;
        Check(taken.datagram.from == taken.channel->peer, "a datagram from a stranger was taken");
        Check(taken.datagram.bytes.size() >= kNtpPacketSize, "a short datagram was taken");
        return taken;
    }

    // Our side of the exchange as the client must have seen it: the wall clock at sending,
    // and for the receipt that reading moved on by the monotonic time in between.
    static Exchange ExchangeOf(const Taken& taken) {
        const std::int64_t sent = taken.channel->sentWallNanos;
        return {CookieOf(*taken.channel), NtpAt(sent), NtpAt(sent + taken.monotonic - taken.channel->sentMonotonic)};
    }

    ReplyCheck EnderCheck() const {
        const Taken& taken = Ender();
        const auto reply = DecodePacket(taken.datagram.bytes);
        Check(reply.has_value(), "the reply does not decode");
        const ReplyCheck check = CheckReply(*reply, ExchangeOf(taken));
        Check(!Ignored(check), "the query ended on a datagram that answers nothing");
        return check;
    }

    void Finished() {
        const auto received = client_.ReceivedTime();
        if (received) {
            Check(notices_.empty(), "a query with a time also raised an error");
            Check(received->nanos < kBillion, "the received time's fraction is out of range");
            Check(EnderCheck() == ReplyCheck::Accept, "a time came from a reply that is not acceptable");
            const Taken& taken = Ender();
            if (taken.datagram.serverNanos) {
                // theta = ((T2 - T1) + (T3 - T4)) / 2 and the server's clock at receipt is T4 + theta.
                const Int128 t1 = taken.channel->sentWallNanos;
                const Int128 t4 = t1 + (taken.monotonic - taken.channel->sentMonotonic);
                const Int128 server = *taken.datagram.serverNanos;
                const Int128 expected = t4 + ((server - t1) + (server - t4)) / 2;
                const Int128 error = static_cast<Int128>(UnixNanos(*received)) - expected;
                Check(error >= -2 && error <= 2, "the received time is not the server's clock at receipt");
            }
            return;
        }
        Check(notices_.size() == 1, "a query without a time did not raise exactly one error");
        const Notice& notice = notices_.front();
        Check(!notice.text.empty(), "an error without a description");
        const bool atOnce = doneAt_ && *doneAt_ == startNanos_ && opened_.empty();
        switch (static_cast<ClientError>(notice.code)) {
        case ClientError::HostNotFound:
            Check(Lookup() == platform::LookupStatus::Failed, "host not found although the lookup did not fail");
            if (lookupBefore_ == platform::LookupStatus::Failed) {
                Check(atOnce, "a lookup failure already known did not end the query at once");
            }
            break;
        case ClientError::NetworkError:
            Check(net_.failuresReported > failuresBefore_, "a network error on a sound network");
            break;
        case ClientError::TimedOut:
            Check(doneAt_ && *doneAt_ - startNanos_ >= timeoutSeconds_ * kBillion, "timed out early");
            break;
        case ClientError::KissOfDeath:
            if (lastTaken_) {
                Check(EnderCheck() == ReplyCheck::KissOfDeath, "a kiss-o'-death notice for another reply");
                const std::string text = NoticeFor(ReplyCheck::KissOfDeath, *DecodePacket(Ender().datagram.bytes));
                Check(notice.text == text, "the kiss-o'-death notice does not name the code");
                kissNotices_.insert(text);
            } else {
                // Every address had told us to stop: the notice of the one passed over last,
                // and not one packet.
                Check(lookupBefore_ == platform::LookupStatus::Done && atOnce,
                      "a query to servers that said stop did not end at once");
                Check(silenced_.size() == addresses_.size(), "a kiss-o'-death notice with a server still to ask");
                Check(kissNotices_.count(notice.text) == 1, "a repeated kiss-o'-death notice that no server sent");
            }
            break;
        case ClientError::Unsynchronised: {
            const ReplyCheck check = EnderCheck();
            Check(check == ReplyCheck::LeapAlarm || check == ReplyCheck::StratumUnsynchronised ||
                      check == ReplyCheck::KissNotSynchronised,
                  "an unsynchronised notice for another reply");
            if (check == ReplyCheck::KissNotSynchronised) {
                Check(notice.text == NoticeFor(check, *DecodePacket(Ender().datagram.bytes)),
                      "the not-synchronised notice does not name the kiss code");
            }
            break;
        }
        case ClientError::BadReply: {
            const ReplyCheck check = EnderCheck();
            Check(check == ReplyCheck::ZeroTransmit || check == ReplyCheck::TransmitBeforeReceive ||
                      check == ReplyCheck::HeldLongerThanExchange || check == ReplyCheck::RootDistanceTooLarge,
                  "a bad-reply notice for another reply");
            break;
        }
        default:
            Check(false, "an error code this query cannot raise");
        }
    }

    testing::ScopedFakePlatform os_{UnexpectedUse};
    testing::FakeNetwork net_{*os_};
    SntpClient client_{*os_};
    std::vector<NetAddress> addresses_;
    // Addresses that answered one of our requests with DENY, RSTR or RATE.
    std::vector<NetAddress> silenced_;
    std::set<std::uint64_t> cookies_;
    std::vector<Notice> notices_;
    std::set<std::string> kissNotices_;
    std::int16_t timeoutSeconds_ = 0;
    int queries_ = 0;
    int opens_ = 0;
    std::size_t turn_ = 0;
    // This query's: where it starts, the addresses it opened sockets to, the reply read
    // last, what it knew of the lookup, and when it began and ended.
    std::size_t first_ = 0;
    std::vector<NetAddress> opened_;
    std::optional<Taken> lastTaken_;
    int failuresBefore_ = 0;
    platform::LookupStatus lookupBefore_ = platform::LookupStatus::Pending;
    std::int64_t startNanos_ = 0;
    std::optional<std::int64_t> doneAt_;
};

}  // namespace
}  // namespace pelldor::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    pelldor::fuzz::Reader in(data, size);
    pelldor::fuzz::Scenario scenario;
    scenario.Run(in);
    return 0;
}
