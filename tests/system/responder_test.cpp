#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

#include "support/responder.h"

// The system tests trust the responder's answers, so its encoding is checked here against
// a decoding written out by hand.
namespace pelldor::testing {
namespace {

using namespace std::chrono;
using namespace std::chrono_literals;

struct Datagram {
    std::vector<std::uint8_t> bytes;
    std::uint16_t fromPort = 0;
};

class Client {
public:
    Client() {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        timeval wait{3, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    }
    ~Client() { close(fd_); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // A version 4 client request whose transmit field carries the cookie.
    void Ask(const NtpResponder& server, std::uint64_t cookie) {
        std::vector<std::uint8_t> request(48, 0);
        request[0] = 0x23;
        for (int i = 0; i < 8; ++i) request[40 + i] = static_cast<std::uint8_t>(cookie >> (56 - 8 * i));
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(server.port());
        ASSERT_EQ(sendto(fd_, request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to), 48);
    }

    // The next datagram, or nothing within 3 s: room for a loaded machine, paid in full
    // only where nothing is to come.
    std::optional<Datagram> Next() {
        Datagram got;
        got.bytes.resize(2048);
        sockaddr_in from{};
        socklen_t length = sizeof from;
        const ssize_t size = recvfrom(fd_, got.bytes.data(), got.bytes.size(), 0,
                                      reinterpret_cast<sockaddr*>(&from), &length);
        if (size < 0) return std::nullopt;
        got.bytes.resize(static_cast<std::size_t>(size));
        got.fromPort = ntohs(from.sin_port);
        return got;
    }

private:
    int fd_ = -1;
};

std::uint64_t Field64(const std::vector<std::uint8_t>& p, std::size_t at) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < 8; ++i) value = value << 8 | p[at + i];
    return value;
}

// An NTP timestamp as nanoseconds since 1970, valid until 2036.
std::int64_t UnixNanos(std::uint64_t ntp) {
    const auto seconds = static_cast<std::int64_t>(ntp >> 32) - 2'208'988'800;
    const auto fraction = static_cast<std::int64_t>(((ntp & 0xffffffffu) * 1'000'000'000) >> 32);
    return seconds * 1'000'000'000 + fraction;
}

std::int64_t NowNanos() {
    return duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
}

constexpr std::uint64_t kCookie = 0x0123456789abcdefULL;

TEST(Responder, HealthyAnswerEchoesTheCookieAndCarriesTheShiftedTime) {
    for (const auto offset : {0ns, nanoseconds(-2'500'000'000), nanoseconds(30'000'000'000)}) {
        NtpResponder server({.offset = offset});
        Client client;
        const std::int64_t before = NowNanos();
        client.Ask(server, kCookie);
        const auto reply = client.Next();
        const std::int64_t after = NowNanos();
        ASSERT_TRUE(reply);
        const auto& p = reply->bytes;
        ASSERT_EQ(p.size(), 48u);
        EXPECT_EQ(reply->fromPort, server.port());
        EXPECT_EQ(p[0], 0x24) << "leap 0, version 4, mode 4";
        EXPECT_EQ(p[1], 2);
        EXPECT_EQ(Field64(p, 24), kCookie);
        for (const std::size_t field : {32u, 40u}) {
            const std::int64_t shifted = UnixNanos(Field64(p, field)) - offset.count();
            EXPECT_GE(shifted, before - 1) << field;
            EXPECT_LE(shifted, after + 1) << field;
        }
        EXPECT_LE(Field64(p, 32), Field64(p, 40));
        EXPECT_EQ(server.requests(), 1);
    }
}

Datagram AskOnce(ResponderOptions options) {
    NtpResponder server(options);
    Client client;
    client.Ask(server, kCookie);
    const auto reply = client.Next();
    EXPECT_TRUE(reply);
    EXPECT_EQ(server.requests(), 1);
    return reply.value_or(Datagram{std::vector<std::uint8_t>(48, 0xEE), 0});
}

TEST(Responder, EachFaultLooksAsIntended) {
    const Datagram kiss = AskOnce({.kind = ReplyKind::KissOfDeath});
    EXPECT_EQ(kiss.bytes[1], 0);
    EXPECT_EQ(std::string(kiss.bytes.begin() + 12, kiss.bytes.begin() + 16), "RATE");
    EXPECT_EQ(Field64(kiss.bytes, 24), kCookie);

    const Datagram leap = AskOnce({.kind = ReplyKind::Leap3});
    EXPECT_EQ(leap.bytes[0] >> 6, 3);
    EXPECT_EQ(leap.bytes[1], 2);

    const Datagram stratum = AskOnce({.kind = ReplyKind::Stratum16});
    EXPECT_EQ(stratum.bytes[0] >> 6, 0);
    EXPECT_EQ(stratum.bytes[1], 16);

    EXPECT_NE(Field64(AskOnce({.kind = ReplyKind::WrongOrigin}).bytes, 24), kCookie);

    const Datagram zero = AskOnce({.kind = ReplyKind::ZeroTransmit});
    EXPECT_EQ(Field64(zero.bytes, 40), 0u);
    EXPECT_EQ(Field64(zero.bytes, 24), kCookie);

    EXPECT_EQ(AskOnce({.kind = ReplyKind::Short, .shortLength = 47}).bytes.size(), 47u);
    EXPECT_EQ(AskOnce({.kind = ReplyKind::Short, .shortLength = 0}).bytes.size(), 0u);
}

TEST(Responder, AnswersFromASecondPortWhenAsked) {
    NtpResponder server({.kind = ReplyKind::OtherSourcePort});
    Client client;
    client.Ask(server, kCookie);
    const auto reply = client.Next();
    ASSERT_TRUE(reply);
    EXPECT_NE(reply->fromPort, server.port());
    EXPECT_EQ(Field64(reply->bytes, 24), kCookie);
}

TEST(Responder, ShapesTheStreamOfAnswers) {
    {
        NtpResponder server({.kind = ReplyKind::Silent});
        Client client;
        client.Ask(server, kCookie);
        client.Ask(server, kCookie + 1);
        EXPECT_FALSE(client.Next());
        EXPECT_EQ(server.requests(), 2);
        EXPECT_EQ(server.received().size(), 2u);
    }
    {
        NtpResponder server({.garbageBefore = 4, .copies = 2});
        Client client;
        client.Ask(server, kCookie);
        int garbage = 0;
        int answers = 0;
        while (const auto datagram = client.Next()) {
            const bool answer = datagram->bytes.size() == 48 && Field64(datagram->bytes, 24) == kCookie;
            EXPECT_TRUE(answer || answers == 0) << "garbage after the answer";
            (answer ? answers : garbage)++;
            if (garbage + answers > 10) break;
        }
        EXPECT_EQ(garbage, 4);
        EXPECT_EQ(answers, 2);
    }
    {
        NtpResponder server({.delay = 150ms});
        Client client;
        const auto start = steady_clock::now();
        client.Ask(server, kCookie);
        ASSERT_TRUE(client.Next());
        EXPECT_GE(steady_clock::now() - start, 150ms);
    }
}

}  // namespace
}  // namespace pelldor::testing
