// The exchange core through exchange::Client on the fake machine, every result held against
// its last reply or its deadline, and all of them against what the client remembers for its
// lifetime: one lookup per host, the addresses taken in turn, the servers that said stop.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "exchange/exchange.h"
#include "fuzz_check.h"
#include "support/fake_network.h"
#include "support/ntp_packets.h"

namespace pelldor::fuzz {
namespace {

using namespace pelldor::exchange;
using platform::NetAddress;
using testing::FakeChannelRecord;
using testing::NtpAt;

constexpr std::int64_t kMs = 1'000'000;
constexpr char kHost[] = "ntp.example";
constexpr char kGiven[] = "given.example";  // the same addresses, given with the plan
// Each exchange that may run at once asks on a port of its own, so every socket tells whose it is.
constexpr std::size_t kSlots = 4;
constexpr std::uint16_t kFirstPort = 123;
constexpr std::size_t kMaxOps = 512;
// Quarter seconds: a lookup, polled every millisecond, outlasts an attempt at a fraction of
// the loop's turns, and no socket sends more requests (7) than the client keeps cookies for.
constexpr std::int64_t kQuarter = 250 * kMs;
// Reference ids for the synthetic reply; with stratum 0 the first three say stop.
constexpr std::uint32_t kReferenceIds[8] = {0x52415445, 0x44454e59, 0x52535452, 0x494e4954,
                                            0x53544550, 0x4c4f434c, 0x7f000001, 0};

struct Reader {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t at = 0;

    std::uint8_t Byte() { return at < size ? data[at++] : 0; }
    std::vector<std::uint8_t> Bytes(std::size_t count) {
        count = std::min(count, size - std::min(at, size));
        std::vector<std::uint8_t> out(data + at, data + at + count);
        at += count;
        return out;
    }
};

// A server whose clock is some milliseconds from ours: the offset, stratum, then leap (bits
// 0-1), reference id (2-4) and the delay of the answer in 50 ms (5-7).
using Synthetic = std::array<std::uint8_t, 6>;

struct Sent {
    std::int64_t wall = 0, monotonic = 0, zone = 0;
};

// The datagram an exchange read last, and what it was worth then: an answer to our request
// (from the peer, long enough, not ignored) ends the exchange.
struct Taken {
    bool deciding = false;
    NtpPacket reply;
    ReplyCheck check = ReplyCheck::NotServerMode;
    std::optional<std::int64_t> serverNanos;
    NetAddress peer;
    Stamps stamps;
    Sent sent;
    std::int64_t elapsed = 0;
};

// A socket opened, by its place in the list, and the places whose server had said stop by then.
struct Attempt {
    std::size_t index = 0;
    unsigned silenced = 0;  // a bit for each place
};

struct Model {
    bool live = false;
    bool given = false;
    int generation = 0;
    std::unique_ptr<Exchange> exchange;  // none when begun by Client::Run
    std::int64_t startAt = 0, deadline = 0;
    std::optional<std::int64_t> doneAt;  // unknown for Client::Run
    std::optional<Result> result;
    std::optional<std::size_t> turn;  // where in the list it began
    std::vector<Attempt> attempts;
    std::optional<NetAddress> lastSent;
    std::int64_t lastSentAt = 0;
    std::optional<std::string> lastFailure;
    std::optional<Taken> taken;
};

std::uint64_t CookieOf(const std::vector<std::uint8_t>& request) { return DecodePacket(request)->transmitTime; }

class Scenario {
public:
    explicit Scenario(Reader& in) {
        const std::uint8_t flags = in.Byte();
        timeoutQuarters_ = 1 + (flags & 3);
        resend_ = (flags & 128) != 0;
        openFailures_ = in.Byte();
        refusals_ = in.Byte();
        const NetAddress all[] = {testing::V4(127, 0, 0, 1, 0), testing::V6({0, 0, 0, 0, 0, 0, 0, 1}, 0),
                                  testing::V4(127, 0, 0, 2, 0)};
        addresses_.assign(all, all + std::min<std::size_t>(1 + ((flags >> 4) & 3), 3));
        const int lookupMs = ((flags >> 2) & 3) * 150;
        if ((flags & 64) != 0) {
            net_.FailLookup(kHost, platform::NetError::NameNotFound, lookupMs);
        } else {
            net_.Resolve(kHost, addresses_, lookupMs);
        }
        net_.onOpen = [this](FakeChannelRecord& channel) { return Opening(channel); };
        net_.onSend = [this](FakeChannelRecord& channel) { Sending(channel); };
        net_.onReceive = [this](FakeChannelRecord& channel, const testing::FakeDatagram& d) { Reading(channel, d); };
    }

    void Run(Reader& in) {
        for (std::size_t ops = 0; ops < kMaxOps && in.at < in.size; ++ops) Step(in);
        RunToEnd();
    }

private:
    std::int64_t Now() const { return m_.clock.monotonicNanos; }
    static std::size_t SlotOf(const NetAddress& peer) { return static_cast<std::size_t>(peer.port - kFirstPort); }
    static std::uint16_t PortOf(std::size_t slot) { return static_cast<std::uint16_t>(kFirstPort + slot); }

    std::size_t IndexOf(const NetAddress& peer) const {
        const auto same = [&](NetAddress a) { return a.port = peer.port, a == peer; };
        const auto index = static_cast<std::size_t>(std::ranges::find_if(addresses_, same) - addresses_.begin());
        Check(index < addresses_.size(), "a socket to an address the lookup did not give");
        return index;
    }

    unsigned Silenced(std::size_t slot) const {
        unsigned mask = 0;
        for (std::size_t i = 0; i < addresses_.size(); ++i) mask |= kisses_[slot][i].empty() ? 0 : 1U << i;
        return mask;
    }

    std::size_t NextAsked(std::size_t from, unsigned silenced) const {
        for (std::size_t k = 0; k < addresses_.size(); ++k) {
            const std::size_t i = (from + k) % addresses_.size();
            if ((silenced >> i & 1) == 0) return i;
        }
        return addresses_.size();
    }

    Model& Owner(const NetAddress& peer) {
        Check(SlotOf(peer) < kSlots && models_[SlotOf(peer)].live, "a socket for no exchange in progress");
        return models_[SlotOf(peer)];
    }

    [[nodiscard]] platform::LookupStatus Lookup() const {
        return net_.lookups.empty() ? platform::LookupStatus::Pending : net_.lookups.front()->reported;
    }

    platform::NetFailure Opening(FakeChannelRecord& channel) {
        Model& model = Owner(channel.peer);
        const Attempt attempt{IndexOf(channel.peer), Silenced(SlotOf(channel.peer))};
        Check((attempt.silenced >> attempt.index & 1) == 0, "a socket to a server that told us to stop");
        if (!model.attempts.empty()) {
            Check(attempt.index == NextAsked(model.attempts.back().index + 1, attempt.silenced),
                  "an exchange did not take the addresses in turn");
            Check(resend_ || std::none_of(model.attempts.begin(), model.attempts.end(),
                                          [&](const Attempt& a) { return a.index == attempt.index; }),
                  "an exchange without resends went round its addresses twice");
        }
        model.attempts.push_back(attempt);
        if (const int n = opens_++; n < 8 && (openFailures_ >> n & 1) != 0) {
            model.lastFailure = "Address family not supported by protocol";
            return {platform::NetError::AddressFamily, 0};
        }
        if (const int n = opened_++; n < 8 && (refusals_ >> n & 1) != 0) {
            channel.receiveError = {platform::NetError::Refused, 0};
            model.lastFailure = "Connection refused";
        }
        return {};
    }

    void Sending(FakeChannelRecord& channel) {
        Model& model = Owner(channel.peer);
        const std::vector<std::uint8_t>& bytes = channel.sent.back();
        const auto request = DecodePacket(bytes);
        Check(bytes.size() == kNtpPacketSize && request->mode == kModeClient && request->version == kNtpVersion &&
                  request->originTime == 0 && request->receiveTime == 0 && request->referenceTime == 0,
              "a request is not an SNTPv4 client packet that carries only its cookie");
        Check(sends_.emplace(request->transmitTime, Sent{m_.clock.wallNanos, Now(), m_.clock.utcOffsetSeconds}).second,
              "a cookie was sent twice");
        const unsigned silenced = Silenced(SlotOf(channel.peer));
        Check((silenced >> IndexOf(channel.peer) & 1) == 0, "a request went to a server that told us to stop");
        Check(Now() <= model.deadline, "a request went out after the deadline");
        if (channel.sent.size() > 1) {
            const Sent& before = sends_.at(CookieOf(channel.sent[channel.sent.size() - 2]));
            Check(resend_ && Now() - before.monotonic >= kQuarter && Now() < model.deadline,
                  "a request sent again without resends, before its time or at the deadline");
        }
        // After its second request the next address takes its turn, if one may be asked.
        Check(channel.sent.size() <= 2 || (silenced | 1U << IndexOf(channel.peer)) == (1U << addresses_.size()) - 1,
              "an address was asked a third time while another could take its turn");
        model.lastSent = channel.peer;
        model.lastSentAt = Now();
        if (const auto& policy = policies_[SlotOf(channel.peer)]) Answer(channel, *policy);
    }

    void Reading(FakeChannelRecord& channel, const testing::FakeDatagram& datagram) {
        Taken taken;
        taken.serverNanos = datagram.serverNanos;
        taken.peer = channel.peer;
        if (datagram.from == channel.peer && datagram.bytes.size() >= kNtpPacketSize) {
            // The request it answers, by its cookie; a reply that echoes none is held against the last.
            taken.reply = *DecodePacket(datagram.bytes);
            std::uint64_t cookie = CookieOf(channel.sent.back());
            for (const auto& sent : channel.sent) cookie = CookieOf(sent) == taken.reply.originTime ? CookieOf(sent) : cookie;
            taken.sent = sends_.at(cookie);
            taken.elapsed = Now() - taken.sent.monotonic;
            taken.stamps = {cookie, NtpAt(taken.sent.wall), NtpAt(taken.sent.wall + taken.elapsed)};
            taken.check = CheckReply(taken.reply, taken.stamps);
            taken.deciding = taken.check != ReplyCheck::NotServerMode && taken.check != ReplyCheck::BadVersion &&
                             taken.check != ReplyCheck::OriginMismatch;
            if (taken.check == ReplyCheck::KissOfDeath) {
                kisses_[SlotOf(channel.peer)][IndexOf(channel.peer)] =
                    "Kiss-o'-death from server: " + KissCode(taken.reply.referenceId);
            }
        }
        Owner(channel.peer).taken = std::move(taken);
    }

    FakeChannelRecord* OpenChannel(std::size_t slot) const {
        for (auto it = net_.channels.rbegin(); it != net_.channels.rend(); ++it) {
            if (!(*it)->closed && (*it)->peer.port == PortOf(slot)) return it->get();
        }
        return nullptr;
    }

    void Answer(FakeChannelRecord& channel, const Synthetic& s) {
        const std::int64_t offset = static_cast<std::int32_t>(std::uint32_t{s[0]} << 24 | s[1] << 16 | s[2] << 8 | s[3]) * kMs;
        NtpPacket reply = net_.ReplyTo(channel, offset);
        reply.leap = s[5] & 3;
        reply.stratum = s[4];
        reply.referenceId = kReferenceIds[(s[5] >> 2) & 7];
        channel.inbox.push_back(
            {testing::PacketBytes(reply), channel.peer, m_.clock.wallNanos + offset, Now() + (s[5] >> 5) * 50 * kMs});
    }

    // Bit 0 of `how` puts our last cookie in as origin, bit 1 sends from another port, bit 2
    // makes the datagram longer than any buffer.
    void Queue(std::size_t slot, std::vector<std::uint8_t> bytes, unsigned how) {
        FakeChannelRecord* channel = OpenChannel(slot);
        if (channel == nullptr) return;
        if ((how & 1) != 0) {
            bytes.resize(std::max(bytes.size(), kNtpPacketSize));
            const std::uint64_t cookie = CookieOf(channel->sent.back());
            for (std::size_t i = 0; i < 8; ++i) bytes[24 + i] = static_cast<std::uint8_t>(cookie >> (56 - 8 * i));
        }
        if ((how & 4) != 0) bytes.resize(2000);
        NetAddress from = channel->peer;
        if ((how & 2) != 0) from.port = static_cast<std::uint16_t>(from.port + 500);
        channel->inbox.push_back({std::move(bytes), from});
    }

    Plan PlanFor(std::size_t slot, bool given) {
        Model& model = models_[slot] = Model{};
        model.live = true;
        model.given = given;
        model.generation = ++generations_;
        model.startAt = Now();
        Plan plan;
        plan.host = given ? kGiven : kHost;
        if (given) plan.addresses = addresses_;
        plan.port = PortOf(slot);
        plan.resendNanos = resend_ ? kQuarter : 0;
        plan.timeoutNanos = (timeoutQuarters_ + static_cast<std::int64_t>(slot)) * kQuarter;
        model.deadline = model.startAt + plan.timeoutNanos;
        order_.push_back(slot);
        return plan;
    }

    void Begin(std::size_t slot, bool given) {
        Abandon(slot);
        const Plan plan = PlanFor(slot, given);
        const int generation = models_[slot].generation;
        models_[slot].exchange = client_.Begin(plan, [this, slot, generation](const Result& result) {
            Model& told = models_[slot];
            Check(told.live && told.generation == generation && !told.result, "an exchange told a result it may not");
            told.result = result;
            told.doneAt = Now();
        });
        Boundary();
    }

    // Dropped in progress: its socket closes, and nothing of it is told afterwards.
    void Abandon(std::size_t slot) {
        if (!models_[slot].live) return;
        models_[slot].exchange.reset();
        Check(OpenChannel(slot) == nullptr, "an abandoned exchange left its socket open");
        Forget(slot);
    }

    void Forget(std::size_t slot) {
        models_[slot].live = false;
        order_.erase(std::find(order_.begin(), order_.end(), slot));
    }

    // Several at once through Client::Run, which returns when the slowest has ended.
    void RunAtOnce(std::uint8_t mask) {
        std::vector<std::size_t> slots;
        std::vector<Plan> plans;
        std::int64_t longest = 0;
        for (std::size_t slot = 0; slot < kSlots; ++slot) {
            if ((mask >> slot & 1) == 0 || models_[slot].live) continue;
            slots.push_back(slot);
            plans.push_back(PlanFor(slot, (mask >> (slot + 4) & 1) != 0));
            longest = std::max(longest, plans.back().timeoutNanos);
        }
        if (plans.empty()) return;
        const std::int64_t start = Now();
        const std::vector<Result> results = client_.Run(plans);
        Check(results.size() == plans.size() && Now() - start <= longest, "several exchanges took longer than the slowest");
        for (std::size_t i = 0; i < slots.size(); ++i) models_[slots[i]].result = results[i];
        Boundary();
    }

    void RunUntil(std::int64_t until, bool toTheEnd = false) {
        m_.loop.RunUntil(until, [&] {
            return toTheEnd && std::ranges::none_of(models_, [](const Model& x) { return x.live && !x.result; });
        });
        Boundary();
    }

    void RunToEnd() {
        std::int64_t last = Now();
        for (const Model& model : models_) last = model.live ? std::max(last, model.deadline) : last;
        RunUntil(last, true);
    }

    // Every exchange that found its name looked up took the next place in the list, in the
    // loop's order, which is the order they were begun in; one that ended waiting took none.
    // A plan given its own addresses shares them with no other, so it starts at the first.
    void AssignTurns() {
        for (const std::size_t slot : order_) {
            Model& model = models_[slot];
            const bool resolved = model.given || Lookup() == platform::LookupStatus::Done;
            const bool waited = model.result && (model.result->notice == Notice::HostNotFound ||
                                                 (model.result->notice == Notice::TimedOut && !model.result->asked));
            if (model.turn || !resolved || waited) continue;
            model.turn = model.given ? 0 : turns_++ % addresses_.size();
            Check(model.attempts.empty() || model.attempts[0].index == NextAsked(*model.turn, model.attempts[0].silenced),
                  "an exchange did not begin one address further down the list than the one before");
        }
    }

    void Boundary() {
        const bool dropped = !net_.lookups.empty() && net_.lookups[0]->dropped;
        Check(net_.lookups.size() <= 1 && (net_.lookups.empty() || net_.lookups[0]->host == kHost) &&
                  !(dropped && Lookup() == platform::LookupStatus::Pending),
              "a second lookup, one of a name given with its addresses, or one dropped while still pending");
        AssignTurns();
        for (std::size_t slot = 0; slot < kSlots; ++slot) {
            Model& model = models_[slot];
            if (model.live && model.result) {
                Judge(slot, model);
            } else if (model.live) {
                Check(Now() < model.deadline, "an exchange outlived its deadline");
                Check(!resend_ || !model.lastSent || Now() - model.lastSentAt < kQuarter, "a request due again was not sent");
            }
        }
    }

    void Judge(std::size_t slot, Model& model) {
        const Result& r = *model.result;
        Forget(slot);
        Check(r.done && OpenChannel(slot) == nullptr, "an exchange that ended left a socket open");
        Check(r.asked == model.lastSent, "the result does not name where the last request went");
        Check(!model.doneAt || *model.doneAt <= model.deadline, "an exchange ended after its deadline");
        if (model.taken && model.taken->deciding) return JudgeReply(*model.taken, r);
        Check(!r.time && !r.measurement && !r.text.empty(), "a time without a reply that brings one, or a notice without text");
        if (r.notice == Notice::TimedOut) {
            Check(model.doneAt ? *model.doneAt == model.deadline : Now() >= model.deadline,
                  "an exchange timed out other than at its deadline");
        } else if (r.notice == Notice::NetworkError) {
            Check(model.lastFailure && r.text == "Network error: " + *model.lastFailure,
                  "a network error that is not the last failure of the network");
        } else if (r.notice == Notice::HostNotFound) {
            Check(!model.given && Lookup() == platform::LookupStatus::Failed, "host not found although the lookup did not fail");
        } else {
            // Every address had said stop: the notice of the one passed over last, no packet.
            Check(r.notice == Notice::KissOfDeath, "a notice that neither a reply nor the network nor the deadline explains");
            Check(model.turn && model.attempts.empty() && NextAsked(0, Silenced(slot)) == addresses_.size(),
                  "a kiss-o'-death notice with a server still to ask");
            Check(r.text == kisses_[slot][(*model.turn + addresses_.size() - 1) % addresses_.size()],
                  "a repeated kiss-o'-death notice is not that of the address passed over last");
        }
    }

    // A kiss-o'-death names its code; another kiss or an unsynchronised server is not
    // synchronised; the rest is a bad reply.
    static void JudgeReply(const Taken& taken, const Result& r) {
        const ReplyCheck check = taken.check;
        if (check == ReplyCheck::Accept) return JudgeTime(taken, r);
        const bool unsynchronised = check == ReplyCheck::KissNotSynchronised || check == ReplyCheck::LeapAlarm ||
                                    check == ReplyCheck::StratumUnsynchronised;
        const Notice expected = check == ReplyCheck::KissOfDeath ? Notice::KissOfDeath
                                : unsynchronised                ? Notice::Unsynchronised
                                                                : Notice::BadReply;
        Check(!r.time && !r.measurement && !r.text.empty() && r.notice == expected,
              "a reply without a usable time did not end the exchange as its check says");
        const std::string code = KissCode(taken.reply.referenceId);
        Check(check != ReplyCheck::KissOfDeath || r.text == "Kiss-o'-death from server: " + code, "a kiss-o'-death's notice");
        Check(check != ReplyCheck::KissNotSynchronised || r.text == "Server not synchronised (kiss code " + code + ")",
              "a kiss that does not say stop did not name its code");
    }

    // Our clock when the request went out, moved on by the monotonic time until the reply
    // was read, then by the offset: the server's clock at receipt.
    static void JudgeTime(const Taken& taken, const Result& r) {
        Check(r.notice == Notice::None && r.time && r.measurement, "an acceptable reply did not give its time");
        const Measurement& m = *r.measurement;
        const NtpPacket& reply = taken.reply;
        Check(m.server == taken.peer && m.stratum == reply.stratum && m.referenceId == reply.referenceId,
              "the measurement is not that of the reply");
        Check(m.offsetNanos ==
                  ClockOffsetNanos(taken.stamps.sentAt, reply.receiveTime, reply.transmitTime, taken.stamps.receivedAt),
              "the offset is not that of the request the reply answers");
        Check(r.time->zoneOffsetSeconds == taken.sent.zone && r.time->nanos < 1'000'000'000,
              "the time is not in the zone the request went out in, or its fraction is not one of a second");
        const std::int64_t receipt = taken.sent.wall + taken.elapsed;
        const std::int64_t time = (ToSerialSeconds(r.time->whole) - r.time->zoneOffsetSeconds) * 1'000'000'000 + r.time->nanos;
        Check(time == receipt + m.offsetNanos, "the time is not our clock at receipt moved by the offset");
        if (!taken.serverNanos) return;
        // theta = ((T2 - T1) + (T3 - T4)) / 2, with both of the server's stamps its clock then.
        const std::int64_t server = *taken.serverNanos;
        const std::int64_t expected = receipt + ((server - taken.sent.wall) + (server - receipt)) / 2;
        Check(time - expected >= -2 && time - expected <= 2, "the time is not the server's clock at receipt");
        Check(m.delayNanos - taken.elapsed >= -1 && m.delayNanos - taken.elapsed <= 1, "the delay is not the round trip");
    }

    // An operation: the low three bits its kind, the next two its slot, the top three its own.
    void Step(Reader& in) {
        const std::uint8_t op = in.Byte();
        const std::size_t slot = (op >> 3) & 3;
        const unsigned top = op >> 5;
        Synthetic synthetic{};
        switch (op & 7) {
        case 0:
        case 4:
            Queue(slot, in.Bytes(in.Byte()), top);
            break;
        case 1:
            for (auto& octet : synthetic) octet = in.Byte();
            if (FakeChannelRecord* channel = OpenChannel(slot)) Answer(*channel, synthetic);
            break;
        case 2:
            RunUntil(Now() + in.Byte() * 10 * kMs);
            break;
        case 3:
            Begin(slot, (top & 1) != 0);
            break;
        case 5:
            // The wall clock alone stepped, as an adjustment would, or a daylight saving change.
            if ((top & 1) != 0) m_.clock.StepWallClock(static_cast<std::int8_t>(in.Byte()) * 100 * kMs);
            if ((top & 1) == 0) m_.clock.utcOffsetSeconds = static_cast<std::int8_t>(in.Byte()) * 900;
            break;
        case 6:
            if ((top & 1) != 0) RunAtOnce(in.Byte());
            if ((top & 1) == 0) Abandon(slot);
            break;
        default:
            if ((top & 3) == 0) RunUntil(Now());
            if ((top & 3) == 1) RunToEnd();
            if ((top & 3) == 2) {
                for (auto& octet : synthetic) octet = in.Byte();
                policies_[slot] = synthetic;
            }
            if ((top & 3) == 3) policies_[slot].reset();
        }
    }

    testing::FakeMachine m_;
    testing::FakeNetwork net_{m_.clock};
    Client client_{m_.clock, net_, m_.loop};
    std::vector<NetAddress> addresses_;
    std::int64_t timeoutQuarters_ = 0;
    bool resend_ = false;
    // The n-th open attempt fails, the n-th socket refuses, when bit n is set.
    unsigned openFailures_ = 0, refusals_ = 0;
    int opens_ = 0, opened_ = 0;
    std::array<Model, kSlots> models_;
    std::array<std::optional<Synthetic>, kSlots> policies_;  // every request of the slot answered so
    std::vector<std::size_t> order_;  // the exchanges in progress, in the order they were begun
    std::size_t turns_ = 0;  // exchanges of the looked-up name that began sending
    int generations_ = 0;
    std::map<std::uint64_t, Sent> sends_;  // by cookie
    // The notice each server earned by telling us to stop, by slot and place in the list.
    std::array<std::array<std::string, 3>, kSlots> kisses_;
};

}  // namespace
}  // namespace pelldor::fuzz

// Flags (bits 0-1 the timeout in quarter seconds less one, 2-3 the lookup's delay in 150 ms,
// 4-5 the addresses less one, 6 the lookup fails, 7 resends), two failure masks, operations.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    pelldor::fuzz::Reader in{data, size};
    pelldor::fuzz::Scenario scenario(in);
    scenario.Run(in);
    return 0;
}
