#include "exchange/exchange.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <tuple>
#include <utility>

#include "exchange/ntp_wire.h"
#include "foundation/text.h"
#include "support/fake_network.h"
#include "support/ntp_packets.h"
#include "support/run_fixture.h"

namespace pelldor::exchange {
namespace {

using platform::NetAddress;
using platform::NetError;
using testing::FakeChannelRecord;
using testing::FakeNetwork;
using testing::Kiss;
using testing::V4;

constexpr std::int64_t kMs = 1'000'000;
constexpr std::int64_t kSecond = 1'000'000'000;
const NetAddress kServer = V4(127, 0, 0, 1, 123);

// The notice an exchange ended with, and its text.
using Told = std::pair<Notice, std::string>;
Told TellsOf(const Exchange& exchange) { return {exchange.result().notice, exchange.result().text}; }

// The core on the virtual machine against the fake network. The loop moves an exchange on
// as it would while the program waits; Step() does one round of it without waiting.
class ExchangeTest : public ::testing::Test {
protected:
    ExchangeTest() { net.Resolve("127.0.0.1", {kServer}); }

    std::unique_ptr<Exchange> Begin(const std::string& host = "127.0.0.1", std::int64_t timeoutNanos = 5 * kSecond,
                                    std::int32_t port = 123) {
        return client.Begin({.host = host, .addresses = {}, .port = port, .family = {}, .timeoutNanos = timeoutNanos, .authenticator = {}});
    }

    void Step() { m.loop.RunUntil(m.clock.monotonicNanos); }
    void Wait(std::int64_t nanos) { m.loop.RunUntil(m.clock.monotonicNanos + nanos); }

    FakeChannelRecord& LastChannel() {
        if (net.channels.empty()) throw std::logic_error("no channel was opened");
        return *net.channels.back();
    }

    // The server's answer to the last request, spoilt as a case needs, read at once.
    void Answer(const std::function<void(NtpPacket&)>& spoil, std::int64_t serverOffset = 0) {
        NtpPacket reply = net.ReplyTo(LastChannel(), serverOffset);
        spoil(reply);
        Deliver(reply);
    }
    void Deliver(const NtpPacket& reply) {
        FakeNetwork::Deliver(LastChannel(), reply);
        Step();
    }

    // 18 ms each way, and the server holds the request for 4 ms.
    void AnswerAfterRoundTrip(std::int64_t serverOffset) {
        m.clock.Advance(18 * kMs);
        NtpPacket reply = net.ReplyTo(LastChannel(), serverOffset);
        m.clock.Advance(4 * kMs);
        reply.transmitTime = net.ReplyTo(LastChannel(), serverOffset).transmitTime;
        m.clock.Advance(18 * kMs);
        Deliver(reply);
    }

    void ExpectServerTimeNow(const Exchange& exchange, std::int64_t serverOffset) {
        const auto& received = exchange.result().time;
        ASSERT_TRUE(received.has_value()) << ::testing::PrintToString(TellsOf(exchange));
        const std::int64_t server = m.clock.wallNanos + serverOffset;
        EXPECT_EQ(FormatTimestamp(received->whole), FormatTimestamp(m.clock.LocalAt(server)));
        EXPECT_EQ(received->nanos, static_cast<std::uint32_t>((server % kSecond + kSecond) % kSecond));
    }

    testing::TestMachine m;
    FakeNetwork net{m.clock};
    Client client{m.clock, net, m.loop};
};

TEST_F(ExchangeTest, NumericAddressAnsweredGivesServerClockAtReceiptAndWhatTheReplyMeasured) {
    for (const std::int64_t offset : {1'500'000'000LL, -500'000'000LL, -3'250'000'000LL, 750'000'001LL}) {
        SCOPED_TRACE(offset);
        const std::size_t channelsBefore = net.channels.size();
        const auto exchange = Begin();
        // Sent as it begins, before the loop has moved it.
        ASSERT_EQ(net.channels.size(), channelsBefore + 1);
        ASSERT_EQ(LastChannel().sent.size(), 1U);
        const auto request = EncodeRequest(net.nextRandom - 1);
        EXPECT_EQ(LastChannel().sent[0], std::vector<std::uint8_t>(request.begin(), request.end()));
        EXPECT_EQ(LastChannel().peer, kServer);
        EXPECT_FALSE(exchange->Done());

        AnswerAfterRoundTrip(offset);
        EXPECT_TRUE(exchange->Done());
        ExpectServerTimeNow(*exchange, offset);
        EXPECT_TRUE(LastChannel().closed);
        const Measurement& measured = *exchange->result().measurement;
        // Root distance: root delay 31.25 ms / 2, dispersion 15.625 ms, half the round trip 18 ms.
        EXPECT_EQ(std::tuple(measured.offsetNanos, measured.delayNanos, measured.stratum, measured.precision,
                             measured.rootDistanceNanos, measured.referenceAgeNanos, measured.server),
                  std::tuple(offset, 36 * kMs, 2, -20, 49'250'000, 64 * kSecond + 4 * kMs, kServer));
        EXPECT_EQ(TellsOf(*exchange), (Told{Notice::None, ""}));
    }
    EXPECT_EQ(net.lookups.back()->host, "127.0.0.1");
    EXPECT_EQ(net.lookups.back()->port, 123);
}

TEST_F(ExchangeTest, BadSettingsEndTheExchangeAtOnceWithoutTouchingTheNetwork) {
    struct Case {
        std::string host;
        std::int32_t port;
        Told told;
    };
    const Case cases[] = {
        {"127.0.0.1", 0, {Notice::InvalidPort, "Invalid port 0 (must be 1 to 65535)"}},
        {"127.0.0.1", 65536, {Notice::InvalidPort, "Invalid port 65536 (must be 1 to 65535)"}},
        {"127.0.0.1", -1, {Notice::InvalidPort, "Invalid port -1 (must be 1 to 65535)"}},
        {"", 123, {Notice::NoHost, "No host given"}},
        // What a server argument without a colon leaves behind.
        {"", 0, {Notice::NoHost, "No host given"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.told.second);
        const auto exchange = Begin(c.host, 5 * kSecond, c.port);
        EXPECT_TRUE(exchange->Done());
        EXPECT_EQ(TellsOf(*exchange), c.told);
        EXPECT_FALSE(exchange->result().time.has_value());
    }
    EXPECT_TRUE(net.lookups.empty());
    EXPECT_TRUE(net.channels.empty());
}

TEST_F(ExchangeTest, AFailedAddressGivesWayToTheNextUntilNoneIsLeft) {
    struct Case {
        const char* name;
        void (FakeNetwork::*fail)(const NetAddress&, NetError);
    };
    const Case cases[] = {
        {"open fails", &FakeNetwork::FailOpen},
        {"send fails", &FakeNetwork::FailSend},
        {"refused", &FakeNetwork::Refuse},
    };
    std::uint8_t n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ++n;
        const NetAddress first = V4(127, 0, 1, n, 123);
        const NetAddress second = V4(127, 0, 2, n, 123);
        const std::string host = std::string(c.name) + ".test";
        net.Resolve(host, {first, second});
        (net.*c.fail)(first, NetError::Refused);
        const auto exchange = Begin(host);
        Step();
        ASSERT_FALSE(exchange->Done());
        ASSERT_EQ(LastChannel().peer, second);
        ASSERT_EQ(LastChannel().sent.size(), 1U);
        AnswerAfterRoundTrip(-kSecond);
        ExpectServerTimeNow(*exchange, -kSecond);
        for (const auto& channel : net.channels) EXPECT_TRUE(channel->closed);
    }

    // With no address left, the last failure is the notice.
    net.Resolve("down.test", {V4(127, 0, 0, 2, 0), V4(127, 0, 0, 3, 0)});
    net.Refuse(V4(127, 0, 0, 2, 123), NetError::Refused);
    net.FailOpen(V4(127, 0, 0, 3, 123), NetError::NetworkUnreachable);
    const auto exchange = Begin("down.test");
    Step();
    EXPECT_TRUE(exchange->Done());
    EXPECT_EQ(TellsOf(*exchange), (Told{Notice::NetworkError, "Network error: Network is unreachable"}));
}

TEST_F(ExchangeTest, OnlyOurServersAnswerToOurRequestCounts) {
    struct Case {
        const char* name;
        NetAddress from;
        std::size_t size;
        std::uint64_t originChange;
        std::uint8_t mode;
        bool taken;
    };
    const Case cases[] = {
        {"other cookie", kServer, 48, 1, kModeServer, false},
        {"other source port", V4(127, 0, 0, 1, 124), 48, 0, kModeServer, false},
        {"other source address", V4(127, 0, 0, 9, 123), 48, 0, kModeServer, false},
        {"47 bytes", kServer, 47, 0, kModeServer, false},
        {"client mode", kServer, 48, 0, kModeClient, false},
        {"with a MAC", kServer, 68, 0, kModeServer, true},
        {"longer than the buffer", kServer, 2000, 0, kModeServer, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto exchange = Begin();
        const NtpPacket good = net.ReplyTo(LastChannel(), 2 * kSecond);
        // Leaves a good reply in the buffer, so that a short read cannot pass by borrowing its bytes.
        LastChannel().inbox.push_back({testing::PacketBytes(good), V4(127, 0, 0, 9, 123)});
        NtpPacket variant = good;
        variant.originTime += c.originChange;
        variant.mode = c.mode;
        std::vector<std::uint8_t> bytes = testing::PacketBytes(variant);
        bytes.resize(c.size, 0x5a);
        LastChannel().inbox.push_back({bytes, c.from});
        Step();
        EXPECT_TRUE(LastChannel().inbox.empty());
        EXPECT_EQ(exchange->Done(), c.taken);
        if (!c.taken) Deliver(good);
        ExpectServerTimeNow(*exchange, 2 * kSecond);
    }
}

// Each ends the exchange with its notice; a server that says stop is never asked again, and
// later exchanges with it still end, at once and so.
TEST_F(ExchangeTest, RepliesWithoutUsableTimeEndTheExchange) {
    struct Case {
        std::function<void(NtpPacket&)> spoil;
        Told told;
    };
    constexpr std::uint64_t kNtpSecond = std::uint64_t{1} << 32;
    const Case cases[] = {
        {Kiss("RATE"), {Notice::KissOfDeath, "Kiss-o'-death from server: RATE"}},
        {Kiss("RATE", 3), {Notice::KissOfDeath, "Kiss-o'-death from server: RATE"}},
        {Kiss("DENY"), {Notice::KissOfDeath, "Kiss-o'-death from server: DENY"}},
        {Kiss("RSTR"), {Notice::KissOfDeath, "Kiss-o'-death from server: RSTR"}},
        {Kiss("INIT", 3), {Notice::Unsynchronised, "Server not synchronised (kiss code INIT)"}},
        {Kiss("R\0TE"), {Notice::Unsynchronised, "Server not synchronised (kiss code R?TE)"}},
        {Kiss("NTS"), {Notice::Unsynchronised, "Server not synchronised (kiss code NTS)"}},
        {[](NtpPacket& p) { p.leap = 3; }, {Notice::Unsynchronised, "Server not synchronised (leap indicator 3)"}},
        {[](NtpPacket& p) { p.stratum = 16; }, {Notice::Unsynchronised, "Server not synchronised (stratum 16)"}},
        {Kiss(0), {Notice::Unsynchronised, "Server not synchronised (stratum 0)"}},
        {Kiss(0, 3), {Notice::Unsynchronised, "Server not synchronised (leap indicator 3)"}},
        {[](NtpPacket& p) { p.transmitTime = 0; }, {Notice::BadReply, "Invalid reply: zero transmit timestamp"}},
        {[](NtpPacket& p) { p.transmitTime = p.receiveTime - 5 * kNtpSecond; },
         {Notice::BadReply, "Invalid reply: transmit timestamp before receive timestamp"}},
        {[](NtpPacket& p) { p.rootDispersion = 0xffff'ffff; },
         {Notice::BadReply, "Invalid reply: root distance 65536.0 s (limit 16 s)"}},
        {[](NtpPacket& p) { p.rootDelay = 0x0010'0000, p.rootDispersion = 0x0008'6667; },
         {Notice::BadReply, "Invalid reply: root distance 16.4 s (limit 16 s)"}},
    };
    std::uint8_t n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.told.second);
        // A server of its own for each case, since a kiss-o'-death silences the one it came from.
        const std::string host = "server" + std::to_string(++n) + ".test";
        net.Resolve(host, {V4(127, 0, 3, n, 123)});
        auto exchange = Begin(host);
        Answer(c.spoil);
        EXPECT_TRUE(exchange->Done());
        EXPECT_FALSE(exchange->result().time.has_value());
        EXPECT_EQ(TellsOf(*exchange), c.told);
        EXPECT_TRUE(LastChannel().closed);
        if (c.told.first != Notice::KissOfDeath) continue;
        const std::size_t channels = net.channels.size();
        for (int retry = 0; retry < 3; ++retry) {
            exchange = Begin(host);
            EXPECT_TRUE(exchange->Done());
            EXPECT_EQ(TellsOf(*exchange), c.told);
        }
        EXPECT_EQ(net.channels.size(), channels) << "asked again after it said stop";
    }
}

TEST_F(ExchangeTest, OtherAddressesAndOtherKissCodesAreStillAsked) {
    const NetAddress kisser = V4(127, 0, 5, 1, 123);
    const NetAddress other = V4(127, 0, 5, 2, 123);
    net.Resolve("pair.test", {kisser, other});
    std::vector<NetAddress> asked;
    std::vector<Told> told;
    for (int attempt = 0; attempt < 4; ++attempt) {
        const auto exchange = Begin("pair.test");
        asked.push_back(LastChannel().peer);
        // The first address stops us; the second is only starting up, which is no reason to stop.
        Answer(LastChannel().peer == kisser ? Kiss("RATE") : Kiss("INIT"));
        told.push_back(TellsOf(*exchange));
    }
    EXPECT_EQ(asked, (std::vector{kisser, other, other, other}));
    EXPECT_EQ(told.front(), (Told{Notice::KissOfDeath, "Kiss-o'-death from server: RATE"}));
    EXPECT_EQ(told.back(), (Told{Notice::Unsynchronised, "Server not synchronised (kiss code INIT)"}));
}

TEST_F(ExchangeTest, EachExchangeStartsAtTheNextAddress) {
    const NetAddress a = V4(127, 0, 6, 1, 123);
    const NetAddress b = V4(127, 0, 6, 2, 123);
    const NetAddress c = V4(127, 0, 6, 3, 123);
    net.Resolve("three.test", {a, b, c});
    net.Refuse(b, NetError::Refused);
    std::vector<std::vector<NetAddress>> perExchange;
    for (int attempt = 0; attempt < 4; ++attempt) {
        const std::size_t before = net.channels.size();
        const auto exchange = Begin("three.test", kSecond);
        Wait(kSecond);
        ASSERT_TRUE(exchange->Done());
        std::vector<NetAddress> peers;
        for (std::size_t i = before; i < net.channels.size(); ++i) peers.push_back(net.channels[i]->peer);
        perExchange.push_back(peers);
    }
    // A refusal moves on within the exchange, wrapping round the list.
    EXPECT_EQ(perExchange, (std::vector<std::vector<NetAddress>>{{a}, {b, c}, {c}, {a}}));
    EXPECT_EQ(net.lookups.size(), 1U);
}

TEST_F(ExchangeTest, OneLookupServesEveryExchangeOfTheRun) {
    // Slower than two exchanges' timeouts: the third gets the address.
    net.Resolve("slow.test", {kServer}, 2500);
    for (int attempt = 0; attempt < 3; ++attempt) {
        const auto exchange = Begin("slow.test", kSecond);
        Wait(kSecond);
        EXPECT_EQ(TellsOf(*exchange), (Told{Notice::TimedOut, "No answer within 1 s"}));
    }
    ASSERT_EQ(net.lookups.size(), 1U);
    ASSERT_EQ(net.channels.size(), 1U);

    // A failed lookup ends the exchange as it fails, and is not asked again either.
    const std::pair<NetError, std::string> failures[] = {
        {NetError::NameNotFound, "Host not found: Name or service not known"},
        {NetError::NameTemporary, "Host not found: Temporary failure in name resolution"}};
    for (const auto& [why, text] : failures) {
        const std::string host = "nowhere" + std::to_string(static_cast<int>(why)) + ".invalid";
        net.FailLookup(host, why, 30);
        auto exchange = Begin(host);
        Wait(29 * kMs);
        EXPECT_FALSE(exchange->Done());
        Wait(1 * kMs);
        EXPECT_TRUE(exchange->Done());
        EXPECT_EQ(TellsOf(*exchange), (Told{Notice::HostNotFound, text}));
        exchange = Begin(host);
        Step();
        EXPECT_EQ(TellsOf(*exchange), (Told{Notice::HostNotFound, text}));
    }
    EXPECT_EQ(net.lookups.size(), 3U);
    EXPECT_EQ(net.channels.size(), 1U);
}

TEST_F(ExchangeTest, AWallClockStepDuringTheExchangeDoesNotMoveTheServerTime) {
    for (const std::int64_t step : {5 * kSecond, -5 * kSecond}) {
        SCOPED_TRACE(step);
        const auto exchange = Begin();
        m.clock.Advance(750 * kMs);
        const NtpPacket reply = net.ReplyTo(LastChannel(), 0);
        m.clock.StepWallClock(step);
        m.clock.Advance(750 * kMs);
        Deliver(reply);
        // The server's clock at receipt is the true time, which the stepped local clock
        // now shows off by the step.
        ExpectServerTimeNow(*exchange, -step);
    }
}

// On the monotonic clock, whatever it waits on: a silent server, or a lookup that never ends,
// which a later exchange waits on again rather than asking anew.
TEST_F(ExchangeTest, TimesOutOnTheMonotonicClockTakingWhatWaitsThen) {
    net.NeverResolve("slow.test");
    std::unique_ptr<Exchange> endless = Begin("slow.test", 0);
    Wait(3600 * kSecond);
    EXPECT_FALSE(endless->Done()) << "no timeout of its own";
    endless.reset();
    for (const auto& [host, seconds] : {std::pair{"127.0.0.1", 2}, std::pair{"slow.test", 5}}) {
        SCOPED_TRACE(host);
        const auto timed = Begin(host, seconds * kSecond);
        m.clock.StepWallClock(3600 * kSecond);
        Wait(seconds * kSecond - kMs);
        EXPECT_FALSE(timed->Done());
        Wait(1 * kMs);
        EXPECT_TRUE(timed->Done());
        EXPECT_FALSE(timed->result().time.has_value());
        EXPECT_EQ(TellsOf(*timed), (Told{Notice::TimedOut, "No answer within " + std::to_string(seconds) + " s"}));
        EXPECT_EQ(timed->result().asked, seconds == 2 ? std::optional(kServer) : std::nullopt);
    }
    // One socket, closed; the first lookup still the only one of its name, and still waited on.
    ASSERT_EQ(net.channels.size(), 1U);
    EXPECT_TRUE(LastChannel().closed);
    ASSERT_EQ(net.lookups.size(), 2U);
    EXPECT_EQ(net.lookups[0]->host, "slow.test");
    EXPECT_FALSE(net.lookups[0]->dropped);

    // A reply that is waiting when the time-out is due is still taken.
    const auto exchange = Begin("127.0.0.1", 2 * kSecond);
    m.clock.Advance(kSecond);
    const NtpPacket reply = net.ReplyTo(LastChannel(), 500 * kMs);
    m.clock.Advance(kSecond);
    Deliver(reply);
    ExpectServerTimeNow(*exchange, 500 * kMs);
}

TEST_F(ExchangeTest, NoTimeoutOfItsOwnWhenNotPositive) {
    for (const std::int64_t timeout : {std::int64_t{0}, -5 * kSecond}) {
        SCOPED_TRACE(timeout);
        const auto exchange = Begin("127.0.0.1", timeout);
        const std::uint64_t heardAt = net.ReplyTo(LastChannel(), 0).receiveTime;
        Wait(24 * 3600 * kSecond);
        EXPECT_FALSE(exchange->Done());
        // A server that held the request all day, so the round trip is short.
        Answer([heardAt](NtpPacket& p) { p.receiveTime = heardAt; });
        ExpectServerTimeNow(*exchange, 0);
    }
}

TEST_F(ExchangeTest, AFloodIsReadThroughButCannotHoldTheLoopPastItsTime) {
    auto exchange = Begin();
    FakeChannelRecord& channel = LastChannel();
    const NtpPacket good = net.ReplyTo(channel, 3 * kSecond);
    NtpPacket garbage = good;
    for (int i = 0; i < 5000; ++i) {
        garbage.originTime = static_cast<std::uint64_t>(i) * 0x9e37'79b9'7f4a'7c15ULL;
        channel.inbox.push_back({testing::PacketBytes(garbage), kServer});
    }
    FakeNetwork::Deliver(channel, good);
    // Within one step's time: every datagram is read, the answer last.
    m.loop.RunUntil(m.clock.monotonicNanos + 10 * kMs, [&] { return exchange->Done(); });
    EXPECT_TRUE(channel.inbox.empty());
    ExpectServerTimeNow(*exchange, 3 * kSecond);

    // A flood that never ends, each datagram taking a microsecond to read: the loop still
    // returns at the end of its step.
    exchange = Begin();
    net.onReceive = [&](FakeChannelRecord& flooded, const testing::FakeDatagram& datagram) {
        m.clock.Advance(1000);
        flooded.inbox.push_back(datagram);
    };
    FakeNetwork::Deliver(LastChannel(), garbage);
    const std::int64_t start = m.clock.monotonicNanos;
    Wait(10 * kMs);
    EXPECT_LT(m.clock.monotonicNanos - start, 11 * kMs);
    EXPECT_FALSE(exchange->Done());
    net.onReceive = nullptr;
}

TEST_F(ExchangeTest, SeveralServersAtOnceCostTheSlowestOfThemAlone) {
    const NetAddress quick = V4(127, 0, 7, 1, 123);
    const NetAddress silent = V4(127, 0, 7, 2, 123);
    const NetAddress refused = V4(127, 0, 7, 3, 123);
    net.Refuse(refused, NetError::Refused);
    net.onSend = [&](FakeChannelRecord& channel) {
        if (channel.peer == quick) FakeNetwork::Deliver(channel, net.ReplyTo(channel, kSecond), m.clock.monotonicNanos + 5 * kMs);
    };
    std::vector<Plan> plans;
    for (const NetAddress& address : {quick, silent, refused}) {
        plans.push_back({.host = AddressText(address), .addresses = {address}, .family = {}, .resendNanos = kSecond,
                         .timeoutNanos = 2 * kSecond, .authenticator = {}});
    }
    const std::int64_t start = m.clock.monotonicNanos;
    const std::vector<Result> results = client.Run(plans);
    EXPECT_EQ(m.clock.monotonicNanos - start, 2 * kSecond) << "one timeout, not three";
    ASSERT_EQ(results.size(), 3u);
    // Its stamps taken as the request left, the reply 5 ms on the way back.
    EXPECT_EQ(results[0].measurement->offsetNanos, kSecond - 2'500'000);
    EXPECT_EQ(results[1].notice, Notice::TimedOut);
    EXPECT_EQ(results[1].asked, silent);
    EXPECT_EQ(results[2].notice, Notice::NetworkError);
    EXPECT_TRUE(net.lookups.empty()) << "addresses given are not looked up";
    int silentRequests = 0;
    for (const auto& channel : net.channels) silentRequests += channel->peer == silent ? static_cast<int>(channel->sent.size()) : 0;
    EXPECT_EQ(silentRequests, 2) << "asked again after a second, nothing more at the deadline";
}

}  // namespace
}  // namespace pelldor::exchange
