#include "timequery/sntp_client.h"

#include <gtest/gtest.h>

#include <ostream>
#include <stdexcept>

#include "support/fake_network.h"
#include "support/ntp_packets.h"
#include "support/test_platform.h"
#include "timequery/ntp_wire.h"

namespace pelldor::timequery {
namespace {

using platform::NetAddress;
using platform::NetError;
using testing::FakeChannelRecord;
using testing::FakeNetwork;

constexpr std::int64_t kMs = 1'000'000;
constexpr std::int64_t kSecond = 1'000'000'000;
const NetAddress kServer = testing::V4(127, 0, 0, 1, 123);

struct Notice {
    std::int16_t code = 0;
    std::string text;
    bool operator==(const Notice&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Notice& n) { return out << n.code << " \"" << n.text << '"'; }

Notice Expect(ClientError code, std::string text) { return {static_cast<std::int16_t>(code), std::move(text)}; }

class SntpClientTest : public ::testing::Test {
protected:
    SntpClientTest() {
        net.Resolve("127.0.0.1", {kServer});
        client.OnError([this](std::int16_t code, const std::string& text) { notices.push_back({code, text}); });
        client.QueryTimeout(5);
        client.QueryHost("127.0.0.1");
        client.QueryPort(123);
    }

    FakeChannelRecord& LastChannel() {
        if (net.channels.empty()) throw std::logic_error("no channel was opened");
        return *net.channels.back();
    }

    // 18 ms each way, and the server holds the request for 4 ms.
    void AnswerAfterRoundTrip(std::int64_t serverOffset) {
        fake->Advance(18 * kMs);
        NtpPacket reply = net.ReplyTo(LastChannel(), serverOffset);
        fake->Advance(4 * kMs);
        reply.transmitTime = net.ReplyTo(LastChannel(), serverOffset).transmitTime;
        fake->Advance(18 * kMs);
        FakeNetwork::Deliver(LastChannel(), reply);
    }

    void ExpectServerTimeNow(std::int64_t serverOffset) {
        const auto received = client.ReceivedTime();
        ASSERT_TRUE(received.has_value());
        const std::int64_t server = fake->wallNanos + serverOffset;
        EXPECT_EQ(platform::FormatTimestamp(received->whole), platform::FormatTimestamp(fake->LocalAt(server)));
        EXPECT_EQ(received->nanos, static_cast<std::uint32_t>((server % kSecond + kSecond) % kSecond));
    }

    testing::TestPlatform fake;
    FakeNetwork net{*fake};
    SntpClient client{*fake};
    std::vector<Notice> notices;
};

TEST_F(SntpClientTest, NumericAddressAnsweredGivesServerClockAtReceipt) {
    for (const std::int64_t offset : {1'500'000'000LL, -500'000'000LL, -3'250'000'000LL, 750'000'001LL}) {
        SCOPED_TRACE(offset);
        const std::size_t channelsBefore = net.channels.size();
        client.BeginQuery();
        // Sent inside BeginQuery, before any event delivery.
        ASSERT_EQ(net.channels.size(), channelsBefore + 1);
        ASSERT_EQ(LastChannel().sent.size(), 1U);
        const auto request = EncodeRequest(fake->nextRandom - 1);
        EXPECT_EQ(LastChannel().sent[0], std::vector<std::uint8_t>(request.begin(), request.end()));
        EXPECT_EQ(LastChannel().peer, kServer);
        EXPECT_FALSE(client.QueryDone());

        AnswerAfterRoundTrip(offset);
        fake->DeliverEvents();
        EXPECT_TRUE(client.QueryDone());
        ExpectServerTimeNow(offset);
        EXPECT_TRUE(LastChannel().closed);
    }
    EXPECT_EQ(net.lookups.back()->host, "127.0.0.1");
    EXPECT_EQ(net.lookups.back()->port, 123);
    EXPECT_TRUE(notices.empty());
}

TEST_F(SntpClientTest, BadSettingsEndTheQueryWithoutTouchingTheNetwork) {
    struct Case {
        std::string host;
        std::int32_t port;
        Notice notice;
    };
    const Case cases[] = {
        {"127.0.0.1", 0, Expect(ClientError::InvalidPort, "Invalid port 0 (must be 1 to 65535)")},
        {"127.0.0.1", 65536, Expect(ClientError::InvalidPort, "Invalid port 65536 (must be 1 to 65535)")},
        {"127.0.0.1", -1, Expect(ClientError::InvalidPort, "Invalid port -1 (must be 1 to 65535)")},
        {"", 123, Expect(ClientError::NoHost, "No host given")},
        // What a server argument without a colon leaves behind.
        {"", 0, Expect(ClientError::NoHost, "No host given")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.notice.text);
        notices.clear();
        client.QueryHost(c.host);
        client.QueryPort(c.port);
        client.BeginQuery();
        EXPECT_TRUE(client.QueryDone());
        EXPECT_TRUE(notices.empty()) << "a handler ran outside event delivery";
        fake->DeliverEvents();
        EXPECT_EQ(notices, std::vector<Notice>{c.notice});
        EXPECT_FALSE(client.ReceivedTime().has_value());
    }
    EXPECT_TRUE(net.lookups.empty());
    EXPECT_TRUE(net.channels.empty());
}

TEST_F(SntpClientTest, HostNotFound) {
    net.FailLookup("nowhere.invalid", NetError::NameNotFound, 30);
    client.QueryHost("nowhere.invalid");
    client.BeginQuery();
    fake->Advance(29 * kMs);
    fake->DeliverEvents();
    EXPECT_FALSE(client.QueryDone());
    fake->Advance(1 * kMs);
    fake->DeliverEvents();
    EXPECT_TRUE(client.QueryDone());
    EXPECT_EQ(notices, std::vector{Expect(ClientError::HostNotFound, "Host not found: Name or service not known")});
    EXPECT_TRUE(net.channels.empty());
}

TEST_F(SntpClientTest, FailedAddressGivesWayToTheNext) {
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
        const NetAddress first = testing::V4(127, 0, 1, n, 123);
        const NetAddress second = testing::V4(127, 0, 2, n, 123);
        const std::string host = std::string(c.name) + ".test";
        net.Resolve(host, {first, second});
        (net.*c.fail)(first, NetError::Refused);
        client.QueryHost(host);
        client.BeginQuery();
        fake->DeliverEvents();
        ASSERT_FALSE(client.QueryDone());
        ASSERT_EQ(LastChannel().peer, second);
        ASSERT_EQ(LastChannel().sent.size(), 1U);
        AnswerAfterRoundTrip(-kSecond);
        fake->DeliverEvents();
        ExpectServerTimeNow(-kSecond);
        EXPECT_TRUE(notices.empty());
        for (const auto& channel : net.channels) EXPECT_TRUE(channel->closed);
    }
}

TEST_F(SntpClientTest, NoAddressLeftIsANetworkError) {
    net.Resolve("down.test", {testing::V4(127, 0, 0, 2, 0), testing::V4(127, 0, 0, 3, 0)});
    net.Refuse(testing::V4(127, 0, 0, 2, 123), NetError::Refused);
    net.FailOpen(testing::V4(127, 0, 0, 3, 123), NetError::NetworkUnreachable);
    client.QueryHost("down.test");
    client.BeginQuery();
    fake->DeliverEvents();
    EXPECT_TRUE(client.QueryDone());
    EXPECT_EQ(notices, std::vector{Expect(ClientError::NetworkError, "Network error: Network is unreachable")});
}

TEST_F(SntpClientTest, OnlyOurServersAnswerToOurRequestCounts) {
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
        {"other source port", testing::V4(127, 0, 0, 1, 124), 48, 0, kModeServer, false},
        {"other source address", testing::V4(127, 0, 0, 9, 123), 48, 0, kModeServer, false},
        {"47 bytes", kServer, 47, 0, kModeServer, false},
        {"client mode", kServer, 48, 0, kModeClient, false},
        {"with a MAC", kServer, 68, 0, kModeServer, true},
        {"longer than the buffer", kServer, 2000, 0, kModeServer, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        client.BeginQuery();
        const NtpPacket good = net.ReplyTo(LastChannel(), 2 * kSecond);
        // Leaves a good reply in the buffer, so that a short read cannot pass by borrowing its bytes.
        LastChannel().inbox.push_back({testing::PacketBytes(good), testing::V4(127, 0, 0, 9, 123)});
        NtpPacket variant = good;
        variant.originTime += c.originChange;
        variant.mode = c.mode;
        std::vector<std::uint8_t> bytes = testing::PacketBytes(variant);
        bytes.resize(c.size, 0x5a);
        LastChannel().inbox.push_back({bytes, c.from});
        fake->DeliverEvents();
        EXPECT_TRUE(LastChannel().inbox.empty());
        EXPECT_EQ(client.QueryDone(), c.taken);
        if (!c.taken) {
            FakeNetwork::Deliver(LastChannel(), good);
            fake->DeliverEvents();
        }
        ExpectServerTimeNow(2 * kSecond);
    }
    EXPECT_TRUE(notices.empty());
}

TEST_F(SntpClientTest, RepliesWithoutUsableTimeEndTheQuery) {
    struct Case {
        void (*spoil)(NtpPacket&);
        Notice notice;
    };
    constexpr std::uint64_t kNtpSecond = std::uint64_t{1} << 32;
    const Case cases[] = {
        {[](NtpPacket& p) { p.stratum = 0, p.leap = 3, p.referenceId = 0x5241'5445; },
         Expect(ClientError::KissOfDeath, "Kiss-o'-death from server: RATE")},
        {[](NtpPacket& p) { p.stratum = 0, p.referenceId = 0x4445'4e59; },
         Expect(ClientError::KissOfDeath, "Kiss-o'-death from server: DENY")},
        {[](NtpPacket& p) { p.stratum = 0, p.leap = 3, p.referenceId = 0x494e'4954; },
         Expect(ClientError::Unsynchronised, "Server not synchronised (kiss code INIT)")},
        {[](NtpPacket& p) { p.stratum = 0, p.referenceId = 0x5200'5445; },
         Expect(ClientError::Unsynchronised, "Server not synchronised (kiss code R?TE)")},
        {[](NtpPacket& p) { p.stratum = 0, p.referenceId = 0x4e54'5300; },
         Expect(ClientError::Unsynchronised, "Server not synchronised (kiss code NTS)")},
        {[](NtpPacket& p) { p.leap = 3; },
         Expect(ClientError::Unsynchronised, "Server not synchronised (leap indicator 3)")},
        {[](NtpPacket& p) { p.stratum = 16; },
         Expect(ClientError::Unsynchronised, "Server not synchronised (stratum 16)")},
        {[](NtpPacket& p) { p.stratum = 0, p.referenceId = 0; },
         Expect(ClientError::Unsynchronised, "Server not synchronised (stratum 0)")},
        {[](NtpPacket& p) { p.stratum = 0, p.leap = 3, p.referenceId = 0; },
         Expect(ClientError::Unsynchronised, "Server not synchronised (leap indicator 3)")},
        {[](NtpPacket& p) { p.transmitTime = 0; },
         Expect(ClientError::BadReply, "Invalid reply: zero transmit timestamp")},
        {[](NtpPacket& p) { p.transmitTime = p.receiveTime - 5 * kNtpSecond; },
         Expect(ClientError::BadReply, "Invalid reply: transmit timestamp before receive timestamp")},
        {[](NtpPacket& p) { p.rootDispersion = 0xffff'ffff; },
         Expect(ClientError::BadReply, "Invalid reply: root distance 65536.0 s (limit 16 s)")},
        {[](NtpPacket& p) { p.rootDelay = 0x0010'0000, p.rootDispersion = 0x0008'6667; },
         Expect(ClientError::BadReply, "Invalid reply: root distance 16.4 s (limit 16 s)")},
    };
    std::uint8_t n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.notice.text);
        // A server of its own for each case, since a kiss-o'-death silences the one it came from.
        const NetAddress server = testing::V4(127, 0, 3, ++n, 123);
        net.Resolve(c.notice.text, {server});
        client.QueryHost(c.notice.text);
        notices.clear();
        client.BeginQuery();
        NtpPacket reply = net.ReplyTo(LastChannel(), 0);
        c.spoil(reply);
        FakeNetwork::Deliver(LastChannel(), reply);
        fake->DeliverEvents();
        EXPECT_TRUE(client.QueryDone());
        EXPECT_FALSE(client.ReceivedTime().has_value());
        EXPECT_EQ(notices, std::vector{c.notice});
        EXPECT_TRUE(LastChannel().closed);
    }
}

TEST_F(SntpClientTest, AServerThatSaysStopIsNeverAskedAgain) {
    for (const std::uint32_t code : {0x5241'5445U, 0x4445'4e59U, 0x5253'5452U}) {
        const std::string name = KissCode(code);
        SCOPED_TRACE(name);
        const NetAddress server = testing::V4(127, 0, 4, static_cast<std::uint8_t>(code), 123);
        net.Resolve(name + ".test", {server});
        client.QueryHost(name + ".test");
        notices.clear();
        client.BeginQuery();
        NtpPacket kiss = net.ReplyTo(LastChannel(), 0);
        kiss.stratum = 0;
        kiss.referenceId = code;
        FakeNetwork::Deliver(LastChannel(), kiss);
        fake->DeliverEvents();
        const std::size_t channels = net.channels.size();

        // The retries still happen and still fail, but nothing more goes out.
        for (int retry = 0; retry < 3; ++retry) {
            client.BeginQuery();
            EXPECT_TRUE(client.QueryDone());
            fake->DeliverEvents();
        }
        EXPECT_EQ(net.channels.size(), channels);
        EXPECT_EQ(notices, std::vector(4, Expect(ClientError::KissOfDeath, "Kiss-o'-death from server: " + name)));
    }
}

TEST_F(SntpClientTest, OtherAddressesAndOtherKissCodesAreStillAsked) {
    const NetAddress kisser = testing::V4(127, 0, 5, 1, 123);
    const NetAddress other = testing::V4(127, 0, 5, 2, 123);
    net.Resolve("pair.test", {kisser, other});
    client.QueryHost("pair.test");
    std::vector<NetAddress> asked;
    for (int attempt = 0; attempt < 4; ++attempt) {
        client.BeginQuery();
        asked.push_back(LastChannel().peer);
        NtpPacket reply = net.ReplyTo(LastChannel(), 0);
        reply.stratum = 0;
        // The first address stops us; the second is only starting up, which is no reason to stop.
        reply.referenceId = LastChannel().peer == kisser ? 0x5241'5445U : 0x494e'4954U;
        FakeNetwork::Deliver(LastChannel(), reply);
        fake->DeliverEvents();
    }
    EXPECT_EQ(asked, (std::vector{kisser, other, other, other}));
    EXPECT_EQ(notices.front(), Expect(ClientError::KissOfDeath, "Kiss-o'-death from server: RATE"));
    EXPECT_EQ(notices.back(), Expect(ClientError::Unsynchronised, "Server not synchronised (kiss code INIT)"));
}

TEST_F(SntpClientTest, EachAttemptStartsAtTheNextAddress) {
    const NetAddress a = testing::V4(127, 0, 6, 1, 123);
    const NetAddress b = testing::V4(127, 0, 6, 2, 123);
    const NetAddress c = testing::V4(127, 0, 6, 3, 123);
    net.Resolve("three.test", {a, b, c});
    net.Refuse(b, NetError::Refused);
    client.QueryHost("three.test");
    client.QueryTimeout(1);
    std::vector<std::vector<NetAddress>> perAttempt;
    for (int attempt = 0; attempt < 4; ++attempt) {
        const std::size_t before = net.channels.size();
        client.BeginQuery();
        fake->DeliverEvents();
        fake->Advance(kSecond);
        fake->DeliverEvents();
        ASSERT_TRUE(client.QueryDone());
        std::vector<NetAddress> peers;
        for (std::size_t i = before; i < net.channels.size(); ++i) peers.push_back(net.channels[i]->peer);
        perAttempt.push_back(peers);
    }
    // A refusal moves on within the attempt, wrapping round the list.
    EXPECT_EQ(perAttempt, (std::vector<std::vector<NetAddress>>{{a}, {b, c}, {c}, {a}}));
    EXPECT_EQ(net.lookups.size(), 1U);
}

TEST_F(SntpClientTest, OneLookupServesTheWholeRun) {
    // Slower than two attempts' timeouts: the third attempt gets the address.
    net.Resolve("slow.test", {kServer}, 2500);
    client.QueryHost("slow.test");
    client.QueryTimeout(1);
    for (int attempt = 0; attempt < 3; ++attempt) {
        client.BeginQuery();
        for (int tick = 0; tick < 100 && !client.QueryDone(); ++tick) {
            fake->Advance(10 * kMs);
            fake->DeliverEvents();
        }
    }
    ASSERT_EQ(net.lookups.size(), 1U);
    ASSERT_EQ(net.channels.size(), 1U);
    EXPECT_EQ(notices, std::vector(3, Expect(ClientError::TimedOut, "No answer within 1 s")));

    // A failed lookup is not asked again either.
    net.FailLookup("nowhere.test", NetError::NameTemporary);
    client.QueryHost("nowhere.test");
    notices.clear();
    for (int attempt = 0; attempt < 2; ++attempt) {
        client.BeginQuery();
        fake->DeliverEvents();
    }
    EXPECT_EQ(net.lookups.size(), 2U);
    EXPECT_EQ(notices,
              std::vector(2, Expect(ClientError::HostNotFound, "Host not found: Temporary failure in name resolution")));
}

TEST_F(SntpClientTest, AWallClockStepDuringTheExchangeDoesNotMoveTheServerTime) {
    for (const std::int64_t step : {5 * kSecond, -5 * kSecond}) {
        SCOPED_TRACE(step);
        client.BeginQuery();
        fake->Advance(750 * kMs);
        const NtpPacket reply = net.ReplyTo(LastChannel(), 0);
        fake->StepWallClock(step);
        fake->Advance(750 * kMs);
        FakeNetwork::Deliver(LastChannel(), reply);
        fake->DeliverEvents();
        // The server's clock at receipt is the true time, which the stepped local clock
        // now shows off by the step.
        ExpectServerTimeNow(-step);
    }
    EXPECT_TRUE(notices.empty());
}

TEST_F(SntpClientTest, TimesOutOnTheMonotonicClock) {
    client.QueryTimeout(2);
    client.BeginQuery();
    fake->StepWallClock(3600 * kSecond);
    fake->Advance(1999 * kMs);
    fake->DeliverEvents();
    EXPECT_FALSE(client.QueryDone());
    fake->Advance(1 * kMs);
    fake->DeliverEvents();
    EXPECT_TRUE(client.QueryDone());
    EXPECT_FALSE(client.ReceivedTime().has_value());
    EXPECT_EQ(notices, std::vector{Expect(ClientError::TimedOut, "No answer within 2 s")});
    EXPECT_TRUE(LastChannel().closed);
}

TEST_F(SntpClientTest, NoTimeoutOfItsOwnWhenNotPositive) {
    for (const std::int16_t timeout : {std::int16_t{0}, std::int16_t{-5}}) {
        SCOPED_TRACE(timeout);
        client.QueryTimeout(timeout);
        client.BeginQuery();
        const std::uint64_t heardAt = net.ReplyTo(LastChannel(), 0).receiveTime;
        for (int hour = 1; hour <= 24; ++hour) {
            fake->Advance(3600 * kSecond);
            fake->DeliverEvents();
        }
        EXPECT_FALSE(client.QueryDone());
        // A server that held the request all day, so the round trip is short.
        NtpPacket reply = net.ReplyTo(LastChannel(), 0);
        reply.receiveTime = heardAt;
        FakeNetwork::Deliver(LastChannel(), reply);
        fake->DeliverEvents();
        ExpectServerTimeNow(0);
    }
    EXPECT_TRUE(notices.empty());
}

TEST_F(SntpClientTest, ReplyWaitingWhenTheTimeoutIsDueIsTaken) {
    client.QueryTimeout(2);
    client.BeginQuery();
    fake->Advance(kSecond);
    const NtpPacket reply = net.ReplyTo(LastChannel(), 500 * kMs);
    fake->Advance(kSecond);
    FakeNetwork::Deliver(LastChannel(), reply);
    fake->DeliverEvents();
    ExpectServerTimeNow(500 * kMs);
    EXPECT_TRUE(notices.empty());
}

TEST_F(SntpClientTest, NewQueryAbandonsTheOldOne) {
    client.BeginQuery();
    AnswerAfterRoundTrip(kSecond);
    fake->DeliverEvents();
    ASSERT_TRUE(client.ReceivedTime().has_value());

    client.BeginQuery();
    EXPECT_FALSE(client.ReceivedTime().has_value());
    EXPECT_FALSE(client.QueryDone());
    FakeChannelRecord& old = LastChannel();
    const NtpPacket late = net.ReplyTo(old, kSecond);

    client.BeginQuery();
    EXPECT_TRUE(old.closed);
    // The old server answers late, to the same address and port as the new query.
    FakeNetwork::Deliver(LastChannel(), late);
    fake->DeliverEvents();
    EXPECT_FALSE(client.QueryDone());
    EXPECT_FALSE(client.ReceivedTime().has_value());

    FakeNetwork::Deliver(LastChannel(), net.ReplyTo(LastChannel(), -kSecond));
    fake->DeliverEvents();
    ExpectServerTimeNow(-kSecond);
    EXPECT_TRUE(notices.empty());
}

TEST_F(SntpClientTest, EndlessLookupEndsOnlyByTheTimeout) {
    net.NeverResolve("slow.test");
    client.QueryHost("slow.test");
    client.QueryTimeout(0);
    client.BeginQuery();
    fake->Advance(3600 * kSecond);
    fake->DeliverEvents();
    EXPECT_FALSE(client.QueryDone());

    client.QueryTimeout(5);
    client.BeginQuery();
    for (int i = 0; i < 4; ++i) {
        fake->Advance(kSecond);
        fake->DeliverEvents();
    }
    EXPECT_FALSE(client.QueryDone());
    fake->Advance(kSecond);
    fake->DeliverEvents();
    EXPECT_TRUE(client.QueryDone());
    // Still the first lookup, still waited on.
    ASSERT_EQ(net.lookups.size(), 1U);
    EXPECT_FALSE(net.lookups[0]->dropped);
    EXPECT_TRUE(net.channels.empty());
    EXPECT_EQ(notices, std::vector{Expect(ClientError::TimedOut, "No answer within 5 s")});
}

TEST_F(SntpClientTest, FloodIsReadInBoundedBatches) {
    client.BeginQuery();
    FakeChannelRecord& channel = LastChannel();
    const NtpPacket good = net.ReplyTo(channel, 3 * kSecond);
    for (int i = 0; i < 200; ++i) {
        NtpPacket garbage = good;
        garbage.originTime = static_cast<std::uint64_t>(i) * 0x9e37'79b9'7f4a'7c15ULL;
        channel.inbox.push_back({testing::PacketBytes(garbage), kServer});
    }
    FakeNetwork::Deliver(channel, good);

    fake->DeliverEvents();
    EXPECT_EQ(channel.inbox.size(), 201U - 64) << "one delivery reads 64 datagrams";
    int deliveries = 1;
    while (!client.QueryDone() && deliveries < 10) {
        fake->DeliverEvents();
        ++deliveries;
    }
    EXPECT_EQ(deliveries, 4);
    ExpectServerTimeNow(3 * kSecond);
    EXPECT_TRUE(notices.empty());
}

}  // namespace
}  // namespace pelldor::timequery
