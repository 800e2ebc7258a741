#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <tuple>
#include <vector>

#include "check/check_options.h"
#include "check/check_run.h"
#include "support/fake_network.h"
#include "support/run_fixture.h"

namespace pelldor::check {
namespace {

using platform::NetAddress;
using platform::NetError;
using testing::FakeChannelRecord;
using testing::FakeNetwork;
using exchange::NtpPacket;

constexpr std::int64_t kMs = 1'000'000;
const NetAddress kServer = testing::V4(127, 0, 0, 1, 123);

TEST(CheckOptions, ReadBackInEveryConventionalFormOrSayWhatIsWrong) {
    struct Case {
        std::vector<std::string> args;
        std::string host;
        int port;
        std::string warning, critical;
        std::int64_t timeoutMs;
        std::optional<NetAddress::Family> family;
        bool verbose;
    };
    const auto v4 = NetAddress::Family::V4;
    const auto v6 = NetAddress::Family::V6;
    const Case cases[] = {
        {{"-H", "ntp.test"}, "ntp.test", 123, "60", "120", 10'000, std::nullopt, false},
        {{"-H", "h", "-p", "1234", "-w", "0.5", "-c", "1", "-t", "2.5", "-6", "-v"}, "h", 1234, "0.5", "1", 2'500, v6, true},
        {{"--hostname=h", "--port", "99", "--warning=1:", "--critical", "~:5", "--timeout=3", "--use-ipv4", "--verbose"},
         "h", 99, "1:", "~:5", 3'000, v4, true},
        {{"-Hh", "-p123", "-w@10:20"}, "h", 123, "@10:20", "120", 10'000, std::nullopt, false},
        {{"-4vH", "h", "-6"}, "h", 123, "60", "120", 10'000, v6, true},
        {{"-H", "[2001:db8::1]"}, "2001:db8::1", 123, "60", "120", 10'000, std::nullopt, false},
        {{"-H", "::1", "-w", "-5:5", "--"}, "::1", 123, "-5:5", "120", 10'000, std::nullopt, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        const auto parsed = ParseCheckOptions(c.args);
        ASSERT_TRUE(std::holds_alternative<CheckOptions>(parsed)) << std::get<UsageError>(parsed).message;
        const CheckOptions& o = std::get<CheckOptions>(parsed);
        EXPECT_EQ(std::tuple(o.host, o.port, o.warning.text, o.critical.text, o.timeoutNanos, o.family, o.verbose),
                  std::tuple(c.host, c.port, c.warning, c.critical, c.timeoutMs * kMs, c.family, c.verbose));
    }
    // And the usage errors, each saying what is wrong.
    const std::pair<std::vector<std::string>, std::string> errors[] = {
        {{}, "no host"},
        {{"-w", "1"}, "no host"},
        {{"-H"}, "option -H needs a value"},
        {{"--hostname"}, "option --hostname needs a value"},
        {{"-H", "h", "-x"}, "unknown option -x"},
        {{"-H", "h", "--bogus=1"}, "unknown option --bogus"},
        {{"-H", "h", "extra"}, "unexpected argument \"extra\""},
        {{"-H", "h", "--", "extra"}, "unexpected argument \"extra\""},
        {{"-H", ""}, "the host is empty"},
        {{"-H", "[]"}, "the host is empty"},
        {{"--verbose=1", "-H", "h"}, "option --verbose takes no value"},
        {{"-H", "h", "-p", "0"}, "the port \"0\""},
        {{"-H", "h", "-p", "65536"}, "the port \"65536\""},
        {{"-H", "h", "-p", "x"}, "the port \"x\""},
        {{"-H", "h", "-w", "abc"}, "the threshold \"abc\""},
        {{"-H", "h", "-c", "20:10"}, "the threshold \"20:10\""},
        {{"-H", "h", "-w", "1e3"}, "the threshold \"1e3\""},
        {{"-H", "h", "-w", "inf"}, "the threshold \"inf\""},
        {{"-H", "h", "-w", "1..2"}, "the threshold \"1..2\""},
        {{"-H", "h", "-t", "0"}, "the timeout \"0\""},
        {{"-H", "h", "-t", "-1"}, "the timeout \"-1\""},
        {{"-H", "h", "-t", "86401"}, "the timeout \"86401\""},
        {{"-H", "h", "-t", "nan"}, "the timeout \"nan\""},
    };
    for (const auto& [args, message] : errors) {
        const auto parsed = ParseCheckOptions(args);
        ASSERT_TRUE(std::holds_alternative<UsageError>(parsed)) << ::testing::PrintToString(args);
        EXPECT_TRUE(std::get<UsageError>(parsed).message.starts_with(message))
            << ::testing::PrintToString(args) << ": " << std::get<UsageError>(parsed).message;
    }
}

TEST(CheckOptions, RangesAlertOutsideOrWithAnAtInside) {
    struct Case {
        const char* text;
        std::vector<double> ok, alert;
    };
    const Case cases[] = {
        {"10", {0, 5, 10}, {10.000001, 11, -0.5}},
        {"10:", {10, 1e9}, {9.999, 0}},
        {"~:10", {-1e9, 10}, {10.5}},
        {":10", {0, 10}, {-1, 11}},
        {"10:20", {10, 15, 20}, {9.9, 20.1}},
        {"@10:20", {9.9, 20.1, 0}, {10, 15, 20}},
        {"-5:5", {-5, 0, 5}, {-5.1, 5.1}},
        {"0.25", {0, 0.25}, {0.2500001}},
        {"+2", {2}, {2.5}},
        {"5:5", {5}, {4.999999, 5.000001}},
    };
    for (const Case& c : cases) {
        const auto range = ParseRange(c.text);
        ASSERT_TRUE(range.has_value()) << c.text;
        for (const double v : c.ok) EXPECT_FALSE(Alerts(*range, v)) << c.text << " " << v;
        for (const double v : c.alert) EXPECT_TRUE(Alerts(*range, v)) << c.text << " " << v;
    }
    for (const char* bad : {"", "@", ":", "~", "a", "1:a", "~:~", "10:5", "1 ", " 1", "0x10", "1e3", ".", "-", "1:2:3"}) {
        EXPECT_FALSE(ParseRange(bad).has_value()) << "[" << bad << "]";
    }
}

// `pelldor check` on the virtual platform, against a scripted server.
class CheckRun : public ::testing::Test {
protected:
    CheckRun() { net.Resolve("127.0.0.1", {kServer}); }

    struct Result {
        int status = 0;
        std::string out, err;
        std::int64_t elapsedMs = 0;
    };

    Result Run(std::vector<std::string> args) {
        m.process.standardOutput.clear();
        m.process.standardError.clear();
        const std::int64_t start = m.clock.monotonicNanos;
        const int status = RunCheck(m.process, m.clock, net, m.loop, args);
        return {status, m.process.standardOutput, m.process.standardError, (m.clock.monotonicNanos - start) / kMs};
    }

    // Every request is answered after a round trip of `rttMs` by a server whose clock is
    // `offset` from ours, its timestamps taken halfway.
    void Serve(std::int64_t offset, int rttMs = 2) {
        net.onSend = [this, offset, rttMs](FakeChannelRecord& channel) {
            const std::int64_t halfway = offset + rttMs * kMs / 2;
            FakeNetwork::Deliver(channel, net.ReplyTo(channel, halfway), m.clock.monotonicNanos + rttMs * kMs);
        };
    }

    testing::TestMachine m;
    FakeNetwork net{m.clock};
};

TEST_F(CheckRun, OffsetsAgainstThresholdsGiveTheStates) {
    struct Case {
        double offsetSeconds;
        std::vector<std::string> thresholds;
        int status;
    };
    const Case cases[] = {
        {0, {}, 0},
        {60, {}, 0},
        {-60.000001, {}, 1},
        {119.9, {}, 1},
        {-120.5, {}, 2},
        {0.3, {"-w", "0.25", "-c", "0.5"}, 1},
        {-0.3, {"-w", "0.25", "-c", "0.5"}, 1},
        {-0.75, {"-w", "0.25", "-c", "0.5"}, 2},
        {0.0000005, {"-w", "0.000001"}, 0},
        {0.0000015, {"-w", "0.000001"}, 1},
        {5, {"-w", "10:", "-c", "1:"}, 1},
        {0.5, {"-w", "10:", "-c", "1:"}, 2},
        {15, {"-w", "@10:20"}, 1},
        {25, {"-w", "@10:20"}, 0},
        {3, {"-w", "~:2", "-c", "~:4"}, 1},
        {86400.0 * 365 * 30, {}, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.offsetSeconds);
        Serve(std::llround(c.offsetSeconds * 1e9));
        std::vector<std::string> args{"-H", "127.0.0.1"};
        args.insert(args.end(), c.thresholds.begin(), c.thresholds.end());
        const Result result = Run(args);
        EXPECT_EQ(result.status, c.status) << result.out;
        static const char* const kStates[] = {"NTP OK - ", "NTP WARNING - ", "NTP CRITICAL - "};
        EXPECT_TRUE(result.out.starts_with(kStates[c.status])) << result.out;
        EXPECT_NE(result.out.find("|offset="), std::string::npos) << result.out;
        EXPECT_EQ(result.err, "");
    }
}

// One line with the state and its reason, the performance data with an offset, and no pause
// beyond what the answer or the reason for none took.
TEST_F(CheckRun, EachEndIsOneLineWithItsStateAndReason) {
    struct Case {
        const char* name;
        std::function<void(FakeNetwork&)> arrange;
        std::vector<std::string> args;
        int status;
        std::string out;
        std::int64_t elapsedMs;
        int requests;
    };
    const auto kiss = [](std::uint32_t code) {
        return [code](FakeNetwork& net) {
            net.onSend = [&net, code](FakeChannelRecord& channel) {
                NtpPacket reply = net.ReplyTo(channel, 0);
                reply.stratum = 0;
                reply.referenceId = code;
                FakeNetwork::Deliver(channel, reply);
            };
        };
    };
    const NetAddress first = testing::V4(127, 0, 0, 3, 123);
    const NetAddress second = testing::V4(127, 0, 0, 2, 123);
    const Case cases[] = {
        {"an answer", [this](FakeNetwork&) { Serve(-1'234'567, 3); },
         {"-H", "127.0.0.1", "-w", "0.001", "-c", "~:0.5"}, 1,
         "NTP WARNING - offset -0.001235 s from 127.0.0.1:123 |offset=-0.001235s;0.001;~:0.5; stratum=2 delay=0.003000s\n",
         3, 1},
        // Slower than the resend: the first answer comes after the second request went out.
        {"an answer to an earlier request", [this](FakeNetwork&) { Serve(40'000'000, 1500); },
         {"-H", "127.0.0.1"}, 0,
         "NTP OK - offset +0.040000 s from 127.0.0.1:123 |offset=0.040000s;60;120; stratum=2 delay=1.500000s\n", 1500, 2},
        {"silence", [](FakeNetwork&) {}, {"-H", "127.0.0.1", "-t", "3"}, 2,
         "NTP CRITICAL - no answer from 127.0.0.1:123 within 3 s\n", 3000, 3},
        {"deny", kiss(0x4445'4e59), {"-H", "127.0.0.1"}, 2,
         "NTP CRITICAL - 127.0.0.1:123: Kiss-o'-death from server: DENY\n", 0, 1},
        {"starting", kiss(0x494e'4954), {"-H", "127.0.0.1"}, 2,
         "NTP CRITICAL - 127.0.0.1:123: Server not synchronised (kiss code INIT)\n", 0, 1},
        {"refused", [](FakeNetwork& net) { net.Refuse(kServer, NetError::Refused); }, {"-H", "127.0.0.1"}, 2,
         "NTP CRITICAL - 127.0.0.1:123: Network error: Connection refused\n", 0, 1},
        {"no such name", [](FakeNetwork& net) { net.FailLookup("nowhere.test", NetError::NameNotFound, 40); },
         {"-H", "nowhere.test"}, 3, "NTP UNKNOWN - nowhere.test: Host not found: Name or service not known\n", 40, 0},
        {"a lookup that never ends", [](FakeNetwork& net) { net.NeverResolve("stuck.test"); },
         {"-H", "stuck.test", "-t", "0.5"}, 3, "NTP UNKNOWN - the name stuck.test was not looked up within 0.5 s\n",
         500, 0},
        {"no IPv6 address", [](FakeNetwork&) {}, {"-H", "127.0.0.1", "-6"}, 3,
         "NTP UNKNOWN - 127.0.0.1: Host not found: No address of the family asked for\n", 0, 0},
        {"the second address answers", [first, second](FakeNetwork& net) {
             net.Resolve("pair.test", {first, second});
             net.onSend = [&net, second](FakeChannelRecord& channel) {
                 if (channel.peer == second) FakeNetwork::Deliver(channel, net.ReplyTo(channel, 0));
             };
         },
         {"-H", "pair.test"}, 0, "NTP OK - offset +0.000000 s from 127.0.0.2:123 |offset=0.000000s;60;120; stratum=2 delay=0.000000s\n",
         2000, 3},
        {"a usage error", [](FakeNetwork&) {}, {"-H", "127.0.0.1", "-w"}, 3,
         "NTP UNKNOWN - option -w needs a value\n", 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        net.onSend = nullptr;
        c.arrange(net);
        const std::size_t before = net.channels.size();
        const Result result = Run(c.args);
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.out, c.out);
        EXPECT_EQ(result.elapsedMs, c.elapsedMs);
        int requests = 0;
        for (std::size_t i = before; i < net.channels.size(); ++i) requests += static_cast<int>(net.channels[i]->sent.size());
        EXPECT_EQ(requests, c.requests);
        EXPECT_EQ(result.err, c.status == 3 && c.out.find("needs") != std::string::npos
                                  ? "Usage: pelldor check -H HOST [-p PORT] [-w RANGE] [-c RANGE] [-t SECONDS] [-4|-6] [-v]\n"
                                  : "");
    }
}

TEST_F(CheckRun, VerboseTellsTheQueryTheNoticesAndBothTimesToTheNanosecond) {
    Serve(250'000'000);
    Result result = Run({"-v", "-H", "127.0.0.1"});
    EXPECT_EQ(result.status, 0);
    std::vector<std::string> lines;
    for (std::size_t at = 0, end; (end = result.err.find('\n', at)) != std::string::npos; at = end + 1) {
        // "2026-12-08 12:00:00.250000000" before each text.
        ASSERT_GE(end - at, 29u) << result.err;
        lines.push_back(result.err.substr(at + 29, end - at - 29));
    }
    EXPECT_EQ(lines, (std::vector<std::string>{" --> Sending Query to 127.0.0.1 on port 123",
                                               " --- Server Time: 2026-12-08 12:00:00.502000000",
                                               " --- Local  Time: 2026-12-08 12:00:00.252000000"}));

    net.Refuse(kServer, NetError::Refused);
    result = Run({"-H", "127.0.0.1", "--verbose"});
    EXPECT_NE(result.err.find("Error 4: Network error: Connection refused (netClock_Error)\n"), std::string::npos)
        << result.err;
    EXPECT_NE(result.err.find(" --- Server Time: n/a\n"), std::string::npos) << result.err;
}

}  // namespace
}  // namespace pelldor::check
