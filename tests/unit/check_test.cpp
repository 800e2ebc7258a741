#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "check/agreement.h"
#include "check/check_options.h"
#include "check/check_output.h"
#include "check/check_run.h"
#include "foundation/help_text.h"
#include "foundation/text.h"
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

TEST(CheckOptions, ReadBackInEveryConventionalForm) {
    struct Case {
        std::vector<std::string> args;
        std::string host;
        int port;
        // The thresholds as the performance data will show them, in its grammar.
        std::string warning, critical;
        std::int64_t timeoutMs;
        std::optional<NetAddress::Family> family;
        bool verbose;
        bool quiet = false;
        std::int64_t timeOffsetMs = 0;
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
        // What the ITL's ntp_time passes, and what getopt_long takes besides: unique prefixes.
        {{"-H", "h", "-q", "-o", "-2.5", "-w", "+.5", "-c", ":5", "-t", "0.001"}, "h", 123, "0.5", "5", 1, std::nullopt,
         false, true, -2'500},
        {{"--warn", "1", "--crit=2", "--host", "h", "--qu", "--time-o", "3", "--verb"}, "h", 123, "1", "2", 10'000,
         std::nullopt, true, true, 3'000},
        // The drop-in's habit of HOST:PORT, and the bracketed IPv6 form with a port.
        {{"-H", "ntp.test:1123"}, "ntp.test", 1123, "60", "120", 10'000, std::nullopt, false},
        {{"-p", "9", "-H", "[::1]:8"}, "::1", 8, "60", "120", 10'000, std::nullopt, false},
        {{"-H", "2001:db8::1", "-p", "7", "-w", "~:"}, "2001:db8::1", 7, "~:", "120", 10'000, std::nullopt, false},
        // Every digit given is kept: the data shows the very threshold applied.
        {{"-H", "h", "-w", "007.50:", "-c", "092233.2036837203600"}, "h", 123, "7.5:", "92233.20368372036", 10'000,
         std::nullopt, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        const auto parsed = ParseCheckOptions(c.args);
        ASSERT_TRUE(std::holds_alternative<CheckOptions>(parsed)) << std::get<UsageError>(parsed).message;
        const CheckOptions& o = std::get<CheckOptions>(parsed);
        ASSERT_EQ(o.servers.size(), 1u);
        EXPECT_EQ(o.servers[0].host, c.host);
        EXPECT_EQ(o.servers[0].port.value_or(o.port), c.port);
        EXPECT_EQ(o.warning.text, c.warning);
        EXPECT_EQ(o.critical.text, c.critical);
        EXPECT_EQ(o.timeoutNanos, c.timeoutMs * kMs);
        EXPECT_EQ(o.family, c.family);
        EXPECT_EQ(o.verbose, c.verbose);
        EXPECT_EQ(o.quiet, c.quiet);
        EXPECT_EQ(o.timeOffsetNanos, c.timeOffsetMs * kMs);
    }
}

TEST(CheckOptions, UsageErrorsSayWhatIsWrong) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
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
        {{"-H", "h", "-t", "0.0009"}, "the timeout \"0.0009\""},
        {{"-H", "h", "-o", "1e3"}, "the time offset \"1e3\""},
        {{"-H", "h:x"}, "the port in \"h:x\""},
        {{"-H", "[::1]:0"}, "the port in \"[::1]:0\""},
        {{"-H", "h", "--use"}, "option --use is ambiguous"},
        {{"-H", "h", "--ver"}, "option --ver is ambiguous"},
        {{"-H", "h", "--quiet=yes"}, "option --quiet takes no value"},
        {{"-H", "h", "--time-offset"}, "option --time-offset needs a value"},
        {{"-H", "h", "-W", "a"}, "the threshold \"a\""},
        {{"-H", "h", "--root-distance=x"}, "the thresholds \"x\""},
        {{"-H", "h", "--reference-age=,"}, "the thresholds \",\""},
        {{"-H", "h", "--output-format=json"}, "the output format \"json\""},
        {{"-H", "h", "--all-addresses=1"}, "option --all-addresses takes no value"},
    };
    for (const auto& [args, message] : cases) {
        const auto parsed = ParseCheckOptions(args);
        ASSERT_TRUE(std::holds_alternative<UsageError>(parsed)) << ::testing::PrintToString(args);
        EXPECT_TRUE(std::get<UsageError>(parsed).message.starts_with(message))
            << ::testing::PrintToString(args) << ": " << std::get<UsageError>(parsed).message;
    }
}

// The options of health and of several servers, read back in one line: the servers, then
// stratum, root distance, reference age and agreeing as WARN,CRIT, then the rest.
std::string Described(const CheckOptions& o) {
    std::string text;
    for (const ServerName& server : o.servers) text += server.host + (server.port ? ":" + std::to_string(*server.port) : "") + " ";
    for (const Thresholds* pair : {&o.stratum, &o.rootDistance, &o.referenceAge, &o.agreeing}) {
        text += "| " + (pair->warning ? pair->warning->text : "-") + "," + (pair->critical ? pair->critical->text : "-") + " ";
    }
    static const char* const kFormats[] = {"classic", "multi-line", "openmetrics"};
    return text + "| " + kFormats[static_cast<int>(o.format)] + (o.allAddresses ? " all" : "");
}

TEST(CheckOptions, HealthAndSeveralServersReadBack) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"-H", "a"}, "a | -,- | -,- | -,- | -,- | classic"},
        // Each -H a server, once; a port of its own kept apart from -p's.
        {{"-H", "a", "-H", "b:9", "-H", "[::1]:8", "-H", "a", "-p", "7"}, "a b:9 ::1:8 | -,- | -,- | -,- | -,- | classic"},
        {{"-Ha", "-W", "1:8", "-C", "~:10", "--root-distance=0.1,1", "--reference-age", ",3600", "-m", "3:", "-n2:",
          "--all-addresses", "--output-format=multi-line"},
         "a | 1:8,~:10 | 0.1,1 | -,3600 | 3:,2: | multi-line all"},
        {{"-H", "a", "--stratum-w=2", "--stratum-c", "@16", "--root=@1", "--twarn=1:", "--tcrit", "@0", "--out", "openmetrics"},
         "a | 2,@16 | @1,- | -,- | 1:,@0 | openmetrics"},
    };
    for (const auto& [args, described] : cases) {
        const auto parsed = ParseCheckOptions(args);
        ASSERT_TRUE(std::holds_alternative<CheckOptions>(parsed)) << std::get<UsageError>(parsed).message;
        EXPECT_EQ(Described(std::get<CheckOptions>(parsed)), described) << ::testing::PrintToString(args);
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

// No time from 127.0.0.N, and why.
exchange::Result Failed(std::uint8_t n, exchange::Notice notice, std::string text, std::string kissCode = {}) {
    exchange::Result result;
    result.asked = testing::V4(127, 0, 0, n, 123);
    result.notice = notice;
    result.text = std::move(text);
    result.kissCode = std::move(kissCode);
    return result;
}

// A usable reply from 127.0.0.N, as the rules see it.
exchange::Result Timed(std::uint8_t n, double offsetSeconds, double distanceSeconds = 0.01, std::uint8_t stratum = 2,
                       double ageSeconds = 64, std::uint8_t leap = 0) {
    exchange::Result result = Failed(n, exchange::Notice::None, "");
    result.measurement = {.offsetNanos = std::llround(offsetSeconds * 1e9), .delayNanos = 2 * kMs, .stratum = stratum,
                          .leap = leap, .precision = 0, .referenceId = 0,
                          .rootDistanceNanos = std::llround(distanceSeconds * 1e9),
                          .referenceAgeNanos = std::llround(ageSeconds * 1e9), .server = *result.asked};
    return result;
}

TEST(CheckVerdict, TheWorstSubcheckSetsTheStateAndComesFirst) {
    using exchange::Notice;
    const auto silent = [](std::uint8_t n) { return Failed(n, Notice::TimedOut, "No response from server"); };
    const auto kiss = [](std::uint8_t n, const std::string& code) {
        return Failed(n, Notice::KissOfDeath, "Kiss-o'-death from server: " + code, code);
    };
    struct Case {
        const char* name;
        std::vector<std::string> args;
        std::vector<exchange::Result> results;  // of servers a, b, c, d in turn
        std::string text;                        // the classic line up to its performance data
        std::optional<NtsFacts> nts = std::nullopt;  // of every server
    };
    const auto nts = [](std::string keFailure, bool ourOwn, std::optional<double> certificateDays) {
        return NtsFacts{std::move(keFailure), ourOwn, 4'000'000, 300'000, certificateDays};
    };
    const Case cases[] = {
        {"stratum, warning", {"-W", "1:8", "-C", "1:12"}, {Timed(1, 0.001, 0.01, 9)},
         "NTP WARNING - stratum 9 (outside 1:8); offset +0.001000 s from 127.0.0.1:123"},
        {"stratum, critical, over an offset warning", {"-W", "1:8", "-C", "1:12"}, {Timed(1, 70, 0.01, 13)},
         "NTP CRITICAL - stratum 13 (outside 1:12); offset +70.000000 s from 127.0.0.1:123"},
        {"root distance", {"--root-distance=0.1,1"}, {Timed(1, 0.001, 0.5)},
         "NTP WARNING - root distance 0.5 s (outside 0.1); offset +0.001000 s from 127.0.0.1:123"},
        {"a free-running server", {"--reference-age=3600,86400"}, {Timed(1, 0.001, 0.01, 2, 7200)},
         "NTP WARNING - reference 7200 s old (outside 3600); offset +0.001000 s from 127.0.0.1:123"},
        {"a leap second", {}, {Timed(1, 0.001, 0.01, 2, 64, 1)},
         "NTP OK - offset +0.001000 s from 127.0.0.1:123; a leap second to be inserted at the end of the day"},
        {"RATE", {}, {kiss(1, "RATE")}, "NTP WARNING - 127.0.0.1:123: asked too often (kiss code RATE)"},
        {"DENY", {}, {kiss(1, "DENY")}, "NTP CRITICAL - 127.0.0.1:123: Kiss-o'-death from server: DENY"},
        {"RSTR", {}, {kiss(1, "RSTR")}, "NTP CRITICAL - 127.0.0.1:123: Kiss-o'-death from server: RSTR"},
        {"one server, too few", {"-m", "2:"}, {Timed(1, 0.001)},
         "NTP WARNING - 1 of 1 server agrees (outside 2:); offset +0.001000 s from 127.0.0.1:123"},
        {"three agree", {}, {Timed(1, 0.001), Timed(2, 0.002), Timed(3, 0.003)},
         "NTP OK - combined offset +0.002000 s; 3 of 3 servers agree"},
        // That server is wrong: named, and left out of the offset.
        {"a falseticker", {"-w", "1"}, {Timed(1, 0.001), Timed(2, 0.002), Timed(3, 5)},
         "NTP WARNING - c: a falseticker at +5.000000 s, outside what the others agree on; combined offset +0.001500 s; "
         "2 of 3 servers agree"},
        // Our clock is wrong: every server agrees on it.
        {"our clock", {"-w", "1", "-c", "2"}, {Timed(1, 5), Timed(2, 5.001), Timed(3, 4.999)},
         "NTP CRITICAL - combined offset +5.000000 s; 3 of 3 servers agree"},
        {"weighted by distance", {}, {Timed(1, 0, 0.001), Timed(2, 0.009, 0.01)},
         "NTP OK - combined offset +0.000818 s; 2 of 2 servers agree"},
        {"one silent", {}, {Timed(1, 0.001), Timed(2, 0.002), silent(3)},
         "NTP WARNING - no answer from 127.0.0.3:123 within 10 s; combined offset +0.001500 s; 2 of 3 servers agree"},
        {"one refusing", {}, {Timed(1, 0.001), Timed(2, 0.002), kiss(3, "DENY")},
         "NTP WARNING - 127.0.0.3:123: Kiss-o'-death from server: DENY; combined offset +0.001500 s; 2 of 3 servers agree"},
        {"all silent", {}, {silent(1), silent(2)},
         "NTP CRITICAL - no server gave a usable time; no answer from 127.0.0.1:123 within 10 s; "
         "no answer from 127.0.0.2:123 within 10 s"},
        {"no name found", {}, {Failed(1, Notice::HostNotFound, "Host not found"), Failed(2, Notice::HostNotFound, "Host not found")},
         "NTP UNKNOWN - no server gave a usable time; 127.0.0.1:123: Host not found; 127.0.0.2:123: Host not found"},
        {"two camps", {}, {Timed(1, 0), Timed(2, 0.001), Timed(3, 5), Timed(4, 5.001)},
         "NTP WARNING - no majority of the 4 servers agrees; combined offset +2.500500 s of all that answered"},
        {"too few agree", {"-m", "3:", "-n", "2:"}, {Timed(1, 0.001), Timed(2, 0.002), Timed(3, 5)},
         "NTP WARNING - 2 of 3 servers agree (outside 3:); c: a falseticker at +5.000000 s, outside what the others "
         "agree on; combined offset +0.001500 s"},
        {"far too few agree", {"-m", "3:", "-n", "3:"}, {Timed(1, 0.001), silent(2), silent(3)},
         "NTP CRITICAL - 1 of 3 servers agrees (outside 3:); no answer from 127.0.0.2:123 within 10 s; "
         "no answer from 127.0.0.3:123 within 10 s; combined offset +0.001000 s"},
        {"authenticated", {"--nts"}, {Timed(1, 0.001)},
         "NTP OK - offset +0.001000 s from 127.0.0.1:123, authenticated by NTS", nts("", false, 30)},
        {"certificate", {"--nts", "--certificate=40,10"}, {Timed(1, 0.001)},
         "NTP WARNING - certificate valid for 30 days (outside 40:); offset +0.001000 s from 127.0.0.1:123, authenticated by NTS", nts("", false, 30)},
        {"certificate expired", {"--nts", "--certificate=40,10"}, {Timed(1, 0.001)},
         "NTP CRITICAL - certificate expired 2 days ago (outside 10:); offset +0.001000 s from 127.0.0.1:123, authenticated by NTS",
         nts("", false, -2)},
        {"no keys", {"--nts"}, {Failed(1, Notice::None, "")}, "NTP CRITICAL - NTS key exchange with a failed: the certificate is not trusted",
         nts("the certificate is not trusted", false, {})},
        {"no keys, our own fault", {"--nts"}, {Failed(1, Notice::None, "")},
         "NTP UNKNOWN - NTS key exchange with a failed: no certificate could be read from /none",
         nts("no certificate could be read from /none", true, {})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args{"-H", "a"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const CheckOptions options = std::get<CheckOptions>(ParseCheckOptions(args));
        std::vector<Answer> answers;
        for (const exchange::Result& result : c.results) {
            answers.push_back({std::string(1, static_cast<char>('a' + answers.size())), result, c.nts});
        }
        const std::string line = Format(Judge(answers, options), options);
        EXPECT_EQ(line.substr(0, line.find_first_of("|\n")), c.text);
    }
}

TEST(CheckAgreement, TheLargestCrowdOfIntervalsAgreesWhenItIsAMajority) {
    struct Case {
        const char* name;
        std::vector<Interval> intervals;  // in milliseconds
        bool majority;
        std::vector<std::size_t> falsetickers;
    };
    const Case cases[] = {
        {"one", {{5, 1}}, true, {}},
        {"closed ends touch", {{0, 5}, {10, 5}}, true, {}},
        {"apart", {{0, 4}, {10, 4}}, false, {}},
        {"a chain: two crowds of two", {{0, 10}, {15, 10}, {30, 10}}, false, {}},
        {"one out of three", {{0, 10}, {5, 10}, {100, 10}}, true, {2}},
        {"a wide one holds both camps", {{0, 1}, {0, 100}, {50, 1}}, false, {}},
        {"three of five", {{0, 2}, {1, 2}, {2, 2}, {40, 2}, {-40, 2}}, true, {3, 4}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<Interval> nanos;
        for (const Interval& i : c.intervals) nanos.push_back({i.offsetNanos * kMs, i.distanceNanos * kMs});
        const Agreement agreement = Agree(nanos);
        EXPECT_EQ(agreement.majority, c.majority);
        EXPECT_EQ(agreement.falsetickers, c.falsetickers);
        EXPECT_EQ(agreement.agreeing.size() + agreement.falsetickers.size(), c.intervals.size());
    }
}

// `pelldor check` on the virtual platform, against a scripted server.
class CheckRun : public ::testing::Test {
protected:
    CheckRun() {
        for (std::uint8_t n = 1; n <= 3; ++n) net.Resolve("127.0.0." + std::to_string(n), {testing::V4(127, 0, 0, n, 123)});
    }

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
    void Serve(std::int64_t offset, void (*spoil)(NtpPacket&) = nullptr, int rttMs = 2) {
        net.onSend = [this, offset, spoil, rttMs](FakeChannelRecord& channel) {
            NtpPacket reply = net.ReplyTo(channel, offset + rttMs * kMs / 2);
            if (spoil) spoil(reply);
            FakeNetwork::Deliver(channel, reply, m.clock.monotonicNanos + rttMs * kMs);
        };
    }

    // Each server by its address, with its clock's offset from ours; the rest are silent.
    void ServeEach(std::vector<std::pair<NetAddress, std::int64_t>> offsets) {
        net.onSend = [this, offsets](FakeChannelRecord& channel) {
            for (const auto& [peer, offset] : offsets) {
                if (channel.peer == peer) FakeNetwork::Deliver(channel, net.ReplyTo(channel, offset + kMs), m.clock.monotonicNanos + 2 * kMs);
            }
        };
    }

    int Requests() const {
        int requests = 0;
        for (const auto& channel : net.channels) requests += static_cast<int>(channel->sent.size());
        return requests;
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
        // The expected offset, with check_ntp_time's sign: a server 2 s ahead is 0 with -o -2.
        {2, {"-w", "1", "-c", "3", "-o", "-2"}, 0},
        {2, {"-w", "1", "-c", "3", "-o", "2"}, 2},
    };
    Serve(0);
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

TEST_F(CheckRun, AnAnswerEndsTheRunAtOnceWithOneLineAndItsPerformanceData) {
    Serve(-1'234'567, nullptr, 3);
    Result result = Run({"-H", "127.0.0.1", "-w", "0.001", "-c", "~:0.5"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "NTP WARNING - offset -0.001235 s from 127.0.0.1:123"
                          "|offset=-0.001235s;0.001;~:0.5; stratum=2 delay=0.003000s root_distance=0.032750s reference_age=64.000000s\n");
    EXPECT_EQ(result.elapsedMs, 3) << "no pause beyond the round trip";
    EXPECT_EQ(Requests(), 1);
    // A server that held the request a hair longer than the exchange: no delay below zero,
    // and the offset shifted as -o asks, in the text and the data alike.
    Serve(0, [](NtpPacket& p) { p.transmitTime += std::uint64_t{1} << 24; }, 1);
    result = Run({"-H", "127.0.0.1", "-o", "0.5"});
    EXPECT_EQ(result.out, "NTP OK - offset +0.501953 s from 127.0.0.1:123"
                          "|offset=0.501953s;60;120; stratum=2 delay=0.000000s root_distance=0.031250s reference_age=64.003906s\n");
}

TEST_F(CheckRun, AnAnswerToAnEarlierRequestIsTimedFromThatRequest) {
    // Slower than the resend: the first answer comes after the second request went out.
    Serve(40'000'000, nullptr, 1500);
    const Result result = Run({"-H", "127.0.0.1"});
    EXPECT_EQ(result.out, "NTP OK - offset +0.040000 s from 127.0.0.1:123"
                          "|offset=0.040000s;60;120; stratum=2 delay=1.500000s root_distance=0.781250s reference_age=64.000000s\n");
    EXPECT_EQ(result.elapsedMs, 1500);
    EXPECT_EQ(Requests(), 2);
}

TEST_F(CheckRun, NoUsableTimeIsCriticalOrUnknownWithTheReason) {
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
        {"silence", [](FakeNetwork&) {}, {"-H", "127.0.0.1", "-t", "3"}, 2,
         "NTP CRITICAL - no answer from 127.0.0.1:123 within 3 s\n", 3000, 3},
        {"deny", kiss(0x4445'4e59), {"-H", "127.0.0.1"}, 2,
         "NTP CRITICAL - 127.0.0.1:123: Kiss-o'-death from server: DENY\n", 0, 1},
        {"starting", kiss(0x494e'4954), {"-H", "127.0.0.1"}, 2,
         "NTP CRITICAL - 127.0.0.1:123: Server not synchronised (kiss code INIT)\n", 0, 1},
        // -q: an offset that cannot be known is UNKNOWN; silence stays CRITICAL.
        {"starting, quiet", kiss(0x494e'4954), {"-qH", "127.0.0.1"}, 3,
         "NTP UNKNOWN - 127.0.0.1:123: Server not synchronised (kiss code INIT)\n", 0, 1},
        {"silence, quiet", [](FakeNetwork&) {}, {"-q", "-H", "127.0.0.1", "-t", "1"}, 2,
         "NTP CRITICAL - no answer from 127.0.0.1:123 within 1 s\n", 1000, 1},
        {"refused", [](FakeNetwork& net) { net.Refuse(kServer, NetError::Refused); }, {"-H", "127.0.0.1"}, 2,
         "NTP CRITICAL - 127.0.0.1:123: Network error: Connection refused\n", 0, 1},
        // This machine could not ask: nothing is known of the server.
        {"no sockets left", [](FakeNetwork& net) { net.FailOpen(kServer, NetError::OutOfResources); },
         {"-H", "127.0.0.1"}, 3, "NTP UNKNOWN - 127.0.0.1: Network error: Out of sockets, memory or threads\n", 0, 0},
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
         {"-H", "pair.test"}, 0, "NTP OK - offset +0.000000 s from 127.0.0.2:123|offset=0.000000s;60;120; stratum=2 delay=0.000000s"
         " root_distance=0.031250s reference_age=64.000000s\n",
         2000, 3},
        // The status line first, then how the options go.
        {"a usage error", [](FakeNetwork&) {}, {"-H", "127.0.0.1", "-w"}, 3,
         "NTP UNKNOWN - option -w needs a value\n" + std::string(CheckUsage()) + "\n", 0, 0},
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
        EXPECT_EQ(result.err, "") << "an engine that merges the streams must see the status line first";
    }
}

TEST_F(CheckRun, SeveralServersAreAskedAtOnceWithinOneTimeout) {
    ServeEach({{kServer, kMs}});
    const Result result = Run({"-H", "127.0.0.1", "-H", "127.0.0.2", "-H", "127.0.0.3", "-t", "2"});
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(result.out.starts_with("NTP WARNING - no answer from 127.0.0.2:123 within 2 s; no answer from "
                                       "127.0.0.3:123 within 2 s; combined offset +0.001000 s; 1 of 3 servers agrees|"))
        << result.out;
    EXPECT_EQ(result.elapsedMs, 2000) << "one timeout for all, not one each";
    std::map<std::string, std::size_t> requests;
    for (const auto& channel : net.channels) requests[AddressText(channel->peer)] += channel->sent.size();
    EXPECT_EQ(requests, (std::map<std::string, std::size_t>{{"127.0.0.1:123", 1}, {"127.0.0.2:123", 2}, {"127.0.0.3:123", 2}}));
}

// A pool's name: one server, or with --all-addresses one per address, within the one timeout
// that the lookup is part of.
TEST_F(CheckRun, EveryAddressOfANameWhenAsked) {
    net.Resolve("pool.test", {testing::V4(127, 0, 0, 2, 123), testing::V4(127, 0, 0, 3, 123)}, 40);
    ServeEach({{testing::V4(127, 0, 0, 3, 123), kMs}});
    Result result = Run({"-H", "pool.test", "--all-addresses", "-t", "1"});
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(result.out.starts_with("NTP WARNING - no answer from 127.0.0.2:123 within 1 s; combined offset +0.001000 s; "
                                       "1 of 2 servers agrees|"))
        << result.out;
    EXPECT_NE(result.out.find(" 'pool.test (127.0.0.3:123) offset'=0.001000s "), std::string::npos) << result.out;
    EXPECT_EQ(result.elapsedMs, 1000);
    result = Run({"-H", "pool.test", "-t", "3"});
    EXPECT_EQ(result.status, 0);
    EXPECT_TRUE(result.out.starts_with("NTP OK - offset +0.001000 s from 127.0.0.3:123|")) << result.out;
}

TEST_F(CheckRun, AFalsetickerInEachFormat) {
    ServeEach({{kServer, kMs}, {testing::V4(127, 0, 0, 2, 123), 2 * kMs}, {testing::V4(127, 0, 0, 3, 123), 5'000 * kMs}});
    const std::vector<std::string> servers{"-H", "127.0.0.1", "-H", "127.0.0.2", "-H", "127.0.0.3"};
    const auto run = [&](std::vector<std::string> args) {
        args.insert(args.begin(), servers.begin(), servers.end());
        return Run(args);
    };
    const std::string data = "|offset=0.001500s;60;120; agreeing=2;;;0;3 '127.0.0.1 offset'=0.001000s '127.0.0.1 stratum'=2 "
        "'127.0.0.1 delay'=0.002000s '127.0.0.1 root_distance'=0.032250s '127.0.0.1 reference_age'=64.000000s "
        "'127.0.0.2 offset'=0.002000s '127.0.0.2 stratum'=2 '127.0.0.2 delay'=0.002000s '127.0.0.2 root_distance'=0.032250s "
        "'127.0.0.2 reference_age'=64.000000s '127.0.0.3 offset'=5.000000s '127.0.0.3 stratum'=2 '127.0.0.3 delay'=0.002000s "
        "'127.0.0.3 root_distance'=0.032250s '127.0.0.3 reference_age'=64.000000s\n";
    const std::string summary = "127.0.0.3: a falseticker at +5.000000 s, outside what the others agree on; "
                                "combined offset +0.001500 s; 2 of 3 servers agree";
    Result result = run({});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "NTP WARNING - " + summary + data);
    result = run({"--output-format=multi-line"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "[WARNING] - " + summary +
                              "\n\t\\_[OK] - combined offset +0.001500 s\n\t\\_[OK] - 2 of 3 servers agree"
                              "\n\t\\_[OK] - 127.0.0.1\n\t\t\\_[OK] - offset +0.001000 s from 127.0.0.1:123"
                              "\n\t\\_[OK] - 127.0.0.2\n\t\t\\_[OK] - offset +0.002000 s from 127.0.0.2:123"
                              "\n\t\\_[WARNING] - 127.0.0.3\n\t\t\\_[OK] - offset +5.000000 s from 127.0.0.3:123"
                              "\n\t\t\\_[WARNING] - a falseticker at +5.000000 s, outside what the others agree on" + data);
    // The metrics end with their EOF line: -v goes to standard error.
    result = run({"--output-format=openmetrics", "-v"});
    EXPECT_EQ(result.status, 1);
    for (const char* line : {"\nntp_server_reachable{server=\"127.0.0.2\"} 1\n", "\nntp_drift_seconds{server=\"127.0.0.3\"} 5.000000\n",
                             "\nntp_falseticker{server=\"127.0.0.3\"} 1\n", "\nntp_falseticker{server=\"127.0.0.1\"} 0\n"}) {
        EXPECT_NE(result.out.find(line), std::string::npos) << line;
    }
    EXPECT_TRUE(result.out.ends_with("\nntp_check_state 1\n# EOF\n")) << result.out;
    EXPECT_NE(result.err.find(" --> Sending Query to 127.0.0.3 on port 123\n"), std::string::npos) << result.err;
}

// After the status line, on standard output: where an engine merges the streams, the status
// line must still come first.
TEST_F(CheckRun, VerboseTellsTheQueryTheNoticesAndBothTimesToTheNanosecondAfterTheStatus) {
    Serve(250'000'000);
    Result result = Run({"-v", "-H", "127.0.0.1"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    std::vector<std::string> lines;
    for (std::size_t at = result.out.find('\n') + 1, end; (end = result.out.find('\n', at)) != std::string::npos;
         at = end + 1) {
        // "2026-12-08 12:00:00.250000000" before each text.
        ASSERT_GE(end - at, 29u) << result.out;
        lines.push_back(result.out.substr(at + 29, end - at - 29));
    }
    EXPECT_TRUE(result.out.starts_with("NTP OK - offset +0.250000 s from 127.0.0.1:123|")) << result.out;
    EXPECT_EQ(lines, (std::vector<std::string>{" --> Sending Query to 127.0.0.1 on port 123",
                                               " --- Server Time: 2026-12-08 12:00:00.502000000",
                                               " --- Local  Time: 2026-12-08 12:00:00.252000000"}));

    net.Refuse(kServer, NetError::Refused);
    result = Run({"-H", "127.0.0.1", "--verbose"});
    EXPECT_TRUE(result.out.starts_with("NTP CRITICAL - ")) << result.out;
    EXPECT_NE(result.out.find("Error 4: Network error: Connection refused (netClock_Error)\n"), std::string::npos)
        << result.out;
    EXPECT_NE(result.out.find(" --- Server Time: n/a\n"), std::string::npos) << result.out;
}

}  // namespace
}  // namespace pelldor::check
