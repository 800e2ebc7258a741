#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "support/bounds.h"
#include "support/probe_run.h"
#include "support/process.h"
#include "support/responder.h"

// The drop-in run end to end, one table: the real binary against our responder with one
// thing at a time broken, against no server, and with arguments that make no sense.
// Whatever happens, a run ends within its bound, through exit, and never with a verdict
// the good reply alone would not give. The texts and the pauses are pinned on the virtual
// clock by the unit tests; here they are seen to reach a real log.
namespace pelldor::testing {
namespace {

using namespace std::chrono;
using namespace std::chrono_literals;

// How the run ends, and so what its log shows after the sending lines.
enum class Ending {
    Answered,       // the server's time, whatever the verdict
    Refused,        // the notice on each attempt, at once
    TimedOut,       // each attempt waits to its deadline
    ArgumentError,  // no query at all
    NoServer,       // no server given: no query, and no line of its own
};

enum class Log { On, Off, Both };

// A responder answers, or the port was just closed, or the server is the text `given`.
enum class Peer { Responder, ClosedPort, Given };

struct Row {
    const char* name;
    ResponderOptions server{};
    int status = 100;
    Ending ending = Ending::Answered;
    std::string notice{};  // Refused: the client's notice
    // Every run that does not wait gets kPatientTimeout, so that one which did wait breaks
    // its bound.
    int timeout = kPatientTimeout;
    int retries = 0;
    bool stops = false;  // the server told the probe to stop: asked once, whatever the retries
    milliseconds least{0};
    Log log = Log::On;
    Peer peer = Peer::Responder;
    // Peer::Given: the server argument, "{port}" for a closed port's, and as it is logged.
    std::string given{};
    std::string host{};
    std::string port{};
    bool isolated = false;  // in a network namespace of its own, so a lookup cannot leave the machine
    std::string folder{};
    std::optional<std::vector<std::string>> args{};  // the whole command line instead
    const char* notUnderWine = nullptr;               // why the row cannot hold there
};

void PrintTo(const Row& row, std::ostream* out) { *out << row.name; }

using Param = std::tuple<Row, bool>;

std::vector<Param> Expand(const std::vector<Row>& rows) {
    std::vector<Param> params;
    for (const Row& row : rows) {
        if (row.log != Log::Off) params.emplace_back(row, true);
        if (row.log != Log::On) params.emplace_back(row, false);
    }
    return params;
}

std::string ParamName(const ::testing::TestParamInfo<Param>& info) {
    const auto& [row, logging] = info.param;
    if (row.log != Log::Both) return row.name;
    return std::string(row.name) + (logging ? "WithLog" : "WithoutLog");
}

std::string Replaced(std::string text, const std::string& placeholder, const std::string& by) {
    for (std::size_t at; (at = text.find(placeholder)) != std::string::npos;) text.replace(at, placeholder.size(), by);
    return text;
}

// Every request a well-formed client request with a cookie of its own.
void ExpectFreshRequests(const std::vector<std::vector<std::uint8_t>>& requests) {
    std::set<std::vector<std::uint8_t>> cookies;
    for (const auto& request : requests) {
        ASSERT_EQ(request.size(), 48u);
        EXPECT_EQ(request[0] & 7, 3) << "mode";
        EXPECT_GE((request[0] >> 3) & 7, 1) << "version";
        EXPECT_LE((request[0] >> 3) & 7, 4) << "version";
        const std::vector<std::uint8_t> cookie(request.begin() + 40, request.end());
        EXPECT_NE(cookie, std::vector<std::uint8_t>(8, 0));
        EXPECT_TRUE(cookies.insert(cookie).second) << "a cookie sent twice";
    }
}

constexpr std::chrono::seconds kHalfEra{2'147'483'648};

class DropIn : public ::testing::TestWithParam<Param> {
protected:
    // A zone well away from UTC, and off by a half hour, that the program inherits: local
    // and universal time mixed up anywhere would show in the log and the verdict.
    void SetUp() override {
        setenv("TZ", "PELL-5:30", 1);
        tzset();
    }
};

TEST_P(DropIn, TheVerdictIsTheGoodReplysAlone) {
    Row c = std::get<0>(GetParam());
    const bool logging = std::get<1>(GetParam());
    if (c.isolated && !CanIsolate()) GTEST_SKIP() << "no network namespace for a name lookup";
    if (c.notUnderWine != nullptr && UnderWine()) GTEST_SKIP() << c.notUnderWine;
    // Wine does not hand an ICMP port unreachable on to the program: the port looks silent.
    if (c.peer == Peer::ClosedPort && UnderWine()) {
        c = {.name = c.name, .status = 0, .ending = Ending::TimedOut, .timeout = 1, .retries = c.retries,
             .peer = Peer::ClosedPort, .given = c.given};
    }
    std::optional<NtpResponder> server;
    if (c.peer == Peer::Responder) {
        try {
            server.emplace(c.server);
        } catch (const std::exception& e) {
            if (c.server.ipv6) GTEST_SKIP() << "no IPv6 loopback here: " << e.what();
            throw;
        }
    }
    std::string host = c.host;
    std::string port = c.port;
    std::string given = c.given;
    if (server) {
        if (host.empty()) host = c.server.ipv6 ? "::1" : "127.0.0.1";
        port = std::to_string(server->port());
        given = given.empty() ? server->Peer() : Replaced(given, "{port}", port);
    } else if (c.peer == Peer::ClosedPort) {
        host = "127.0.0.1";
        port = std::to_string(ClosedPort());
        given = host + ":" + port;
    }

    ProbeSetup setup{.logging = logging, .folder = c.folder};
    if (c.isolated) setup.via = {UnshareTool(), "--net", "--"};
    const bool patient = c.timeout == kPatientTimeout;
    const int attempts = std::max(c.retries, 0) + 1;
    // A run that waits for a patient timeout is killed well before it.
    if (patient) setup.killAfter = bounds::DropInRun(0, c.retries, true, 2L * attempts) + 2 * kSlack;
    ProbeRun run;
    std::string tail;
    if (c.args) {
        run = RunProbe(ProbeBinary(), *c.args, setup);
        for (const auto& arg : *c.args) tail += (tail.empty() ? "" : " ") + arg;
    } else {
        run = RunDropIn(c.timeout, c.retries, given, setup);
        tail = std::to_string(c.timeout) + " " + std::to_string(c.retries) + " " +
               (given.find(' ') == std::string::npos ? given : "\"" + given + "\"");
    }
    const bool halfEra = c.server.offset == -kHalfEra;
    if (halfEra && logging) c.status = LoggedLag(run) > 0 ? 100 : 0;
    ExpectEndWithin(run, c.status, c.timeout, c.retries);
    if (patient) ExpectNoWait(run, attempts);
    EXPECT_GE(run.result.elapsed, c.least) << Dump(run);
    if (c.ending == Ending::TimedOut) {
        EXPECT_GE(run.result.elapsed, attempts * seconds(std::max(c.timeout, 0))) << Dump(run);
    }
    if (server) {
        EXPECT_EQ(server->requests(), c.ending == Ending::Answered || c.stops ? 1 : attempts);
        ExpectFreshRequests(server->received());
    }

    const std::string timedOut = "Error 5: No answer within " + std::to_string(c.timeout) + " s (netClock_Error)";
    switch (c.ending) {
    case Ending::Answered:
        ExpectLog(run, AnsweredLog(tail, host, port, c.status));
        if (logging) {
            // Both sides are cut to whole seconds, so a fractional shift may show one more.
            const long long lag = halfEra ? -std::llabs(LoggedLag(run)) : LoggedLag(run);
            const long long whole = duration_cast<seconds>(c.server.offset).count();
            const bool fractional = c.server.offset % 1s != 0ns;
            EXPECT_GE(lag, whole - 1 - (fractional && c.server.offset < 0ns ? 1 : 0)) << Dump(run);
            EXPECT_LE(lag, whole + 1 + (fractional && c.server.offset > 0ns ? 1 : 0)) << Dump(run);
        }
        break;
    case Ending::Refused:
        ExpectLog(run, FailedLog(tail, host, port, c.notice, attempts));
        break;
    case Ending::TimedOut:
        // The client's own notice comes in time, later, or not at all, depending on where in
        // the second the attempt began; a timeout of 0 or less gives it no timeout of its own.
        ExpectLog(run, FailedLog(tail, host, port, "", attempts), {c.timeout > 0 ? timedOut : "", attempts});
        break;
    case Ending::ArgumentError:
        ExpectLog(run, {"", " Start", " CommandLine = " + tail, " Argument Error"});
        break;
    case Ending::NoServer:
        ExpectLog(run, {"", " Start", " CommandLine = " + tail});
        break;
    }
}

// The verdict from the server's clock. The healthy row also holds its log in a folder whose
// name needs more than ASCII, which pelldor.exe must turn into a Windows path.
INSTANTIATE_TEST_SUITE_P(
    Answers, DropIn,
    ::testing::ValuesIn(Expand({
        {.name = "Level", .log = Log::Both,
         .folder = "Zeitpr\xc3\xbc" "fung \xe6\x99\x82\xe5\x88\xbb \xf0\x9f\x95\x92"},
        {.name = "Ahead5s", .server = {.offset = 5s}},
        {.name = "Behind2500ms", .server = {.offset = -2500ms}},
        {.name = "Behind4500ms", .server = {.offset = -4500ms}, .status = 0},
        {.name = "Behind1h", .server = {.offset = -1h}, .status = 0},
        // 0x80000000 seconds either way puts the same bytes on the wire: half an era, read
        // as half an era away rather than as no offset at all. Which way depends on the
        // microseconds of the exchange; the verdict follows the side it is read on.
        {.name = "HalfAnEraOff", .server = {.offset = -kHalfEra}, .status = 0},
        {.name = "Ipv6LiteralInBracketsLoggedWithout", .server = {.ipv6 = true}},
        {.name = "NamedHostIsLookedUp", .given = "localhost:{port}", .host = "localhost"},
    })),
    ParamName);

// One header field broken at a time: a reply that cannot be the answer is waited past, one
// that tells the server cannot give time ends the attempt.
INSTANTIATE_TEST_SUITE_P(
    Fields, DropIn,
    ::testing::ValuesIn(Expand({
        {.name = "Mode3", .server = {.mode = 3}, .status = 0, .ending = Ending::TimedOut, .timeout = 1},
        {.name = "Mode5", .server = {.mode = 5}, .status = 0, .ending = Ending::TimedOut, .timeout = 1},
        {.name = "Version0", .server = {.version = 0}, .status = 0, .ending = Ending::TimedOut, .timeout = 1},
        {.name = "Version5", .server = {.version = 5}, .status = 0, .ending = Ending::TimedOut, .timeout = 1},
        {.name = "Version3", .server = {.version = 3}},
        {.name = "Stratum0WithoutKissCode",
         .server = {.stratum = 0, .referenceId = std::array<std::uint8_t, 4>{0, 0, 0, 0}},
         .status = 0, .ending = Ending::Refused, .notice = "Error 7: Server not synchronised (stratum 0)"},
        {.name = "RateKissWithoutLeapAlarm",
         .server = {.stratum = 0, .referenceId = std::array<std::uint8_t, 4>{'R', 'A', 'T', 'E'}},
         .status = 0, .ending = Ending::Refused, .notice = "Error 6: Kiss-o'-death from server: RATE"},
        {.name = "Leap3", .server = {.kind = ReplyKind::Leap3}, .status = 0, .ending = Ending::Refused,
         .notice = "Error 7: Server not synchronised (leap indicator 3)"},
        {.name = "Stratum16", .server = {.kind = ReplyKind::Stratum16}, .status = 0, .ending = Ending::Refused,
         .notice = "Error 7: Server not synchronised (stratum 16)"},
        {.name = "ZeroTransmit", .server = {.kind = ReplyKind::ZeroTransmit}, .status = 0, .ending = Ending::Refused,
         .notice = "Error 8: Invalid reply: zero transmit timestamp"},
        {.name = "WrongOrigin", .server = {.kind = ReplyKind::WrongOrigin}, .status = 0,
         .ending = Ending::TimedOut, .timeout = 1},
    })),
    ParamName);

// Answers whose own fields contradict each other or disown their time, and kiss codes.
INSTANTIATE_TEST_SUITE_P(
    Consistency, DropIn,
    ::testing::ValuesIn(Expand({
        {.name = "TransmitFiveSecondsBeforeReceive", .server = {.transmitShift = -5s}, .status = 0,
         .ending = Ending::Refused, .notice = "Error 8: Invalid reply: transmit timestamp before receive timestamp"},
        {.name = "ReceiveLateTransmitEarly", .server = {.receiveShift = 30s, .transmitShift = -10s}, .status = 0,
         .ending = Ending::Refused, .notice = "Error 8: Invalid reply: transmit timestamp before receive timestamp"},
        // Measured: the round trip read negative and the offset 34 years ahead.
        {.name = "ReceivedTwoTo31SecondsBeforeTransmitFromAServerBehind",
         .server = {.offset = -10s, .receiveShift = -2147483647s}, .status = 0, .ending = Ending::Refused,
         .notice = "Error 8: Invalid reply: server held the request longer than the exchange took"},
        {.name = "HeldFiveSecondsLongerThanTheExchange", .server = {.receiveShift = -5s}, .status = 0,
         .ending = Ending::Refused,
         .notice = "Error 8: Invalid reply: server held the request longer than the exchange took"},
        {.name = "RootDispersion65535s", .server = {.rootDispersion = 0xffff'ffff}, .status = 0,
         .ending = Ending::Refused, .notice = "Error 8: Invalid reply: root distance {any} s (limit 16 s)"},
        {.name = "RootDelay65535s", .server = {.rootDelay = 0xffff'ffff}, .status = 0, .ending = Ending::Refused,
         .notice = "Error 8: Invalid reply: root distance {any} s (limit 16 s)"},
        // A time service running on its own clock, as some systems' are: still worth asking.
        {.name = "RootDispersion10s", .server = {.rootDispersion = 0x000a'0000}},
        {.name = "RateKissWithRetriesLeft", .server = {.kind = ReplyKind::KissOfDeath}, .status = 0,
         .ending = Ending::Refused, .notice = "Error 6: Kiss-o'-death from server: RATE", .retries = 2,
         .stops = true},
        {.name = "DenyKissWithRetriesLeft",
         .server = {.stratum = 0, .referenceId = std::array<std::uint8_t, 4>{'D', 'E', 'N', 'Y'}}, .status = 0,
         .ending = Ending::Refused, .notice = "Error 6: Kiss-o'-death from server: DENY", .retries = 2,
         .stops = true},
        {.name = "InitKissIsAskedAgain",
         .server = {.leap = 3, .stratum = 0, .referenceId = std::array<std::uint8_t, 4>{'I', 'N', 'I', 'T'}},
         .status = 0, .ending = Ending::Refused, .notice = "Error 7: Server not synchronised (kiss code INIT)",
         .retries = 1},
    })),
    ParamName);

// Lengths around the 48 bytes of an answer; 9000 is more than the client's receive buffer.
INSTANTIATE_TEST_SUITE_P(
    Lengths, DropIn,
    ::testing::ValuesIn(Expand({
        {.name = "Empty", .server = {.kind = ReplyKind::Short, .shortLength = 0}, .status = 0,
         .ending = Ending::TimedOut, .timeout = 1},
        {.name = "Short47", .server = {.kind = ReplyKind::Short, .shortLength = 47}, .status = 0,
         .ending = Ending::TimedOut, .timeout = 1},
        {.name = "Padded49", .server = {.kind = ReplyKind::Padded, .paddedLength = 49}},
        {.name = "Padded1500", .server = {.kind = ReplyKind::Padded, .paddedLength = 1500}},
        {.name = "Padded9000", .server = {.kind = ReplyKind::Padded, .paddedLength = 9000}},
    })),
    ParamName);

// What comes around the answer. The burst outpaces a reader of 64 datagrams each 10 ms, but
// is paced so that the kernel keeps all of it for one that reads whenever its socket has
// data. The answer after the deadline reaches the first attempt's port a second or more
// after that attempt has surely ended, while the second one waits: its fresh socket and
// cookie must not take it, nor the first attempt stalled for under a second at its end.
INSTANTIATE_TEST_SUITE_P(
    Stream, DropIn,
    ::testing::ValuesIn(Expand({
        {.name = "BurstOf50000FromTheServersPortFirst", .server = {.garbageBefore = 50'000, .garbageBatch = 500},
         .timeout = 20,
         .notUnderWine = "Wine reads each datagram through its server, too slowly for the burst: it is lost in "
                         "the kernel before the program sees it"},
        {.name = "ThreeCopies", .server = {.copies = 3}},
        {.name = "LateButInTime", .server = {.delay = 1500ms}, .least = 1500ms},
        {.name = "OtherSourcePort", .server = {.kind = ReplyKind::OtherSourcePort}, .status = 0,
         .ending = Ending::TimedOut, .timeout = 1},
        {.name = "AnswerAfterTheDeadline", .server = {.delay = 5000ms}, .status = 0, .ending = Ending::TimedOut,
         .timeout = 3, .retries = 1},
        {.name = "Silent", .server = {.kind = ReplyKind::Silent}, .status = 0, .ending = Ending::TimedOut,
         .timeout = 1, .retries = 1, .log = Log::Both},
        // A timeout of 0 or less gives the client no timeout of its own.
        {.name = "SilentTimeout0", .server = {.kind = ReplyKind::Silent}, .status = 0, .ending = Ending::TimedOut,
         .timeout = 0, .retries = 2},
        {.name = "SilentTimeoutMinus1", .server = {.kind = ReplyKind::Silent}, .status = 0,
         .ending = Ending::TimedOut, .timeout = -1, .retries = 2},
    })),
    ParamName);

// Servers that cannot be reached, and arguments that make no sense.
INSTANTIATE_TEST_SUITE_P(
    Unreachable, DropIn,
    ::testing::ValuesIn(Expand({
        {.name = "ClosedPortOnEachOfThreeAttempts", .status = 0, .ending = Ending::Refused,
         .notice = "Error 4: Network error: Connection refused", .retries = 2, .peer = Peer::ClosedPort},
        {.name = "EmptyHost", .status = 0, .ending = Ending::Refused, .notice = "Error 1: No host given",
         .retries = 1, .peer = Peer::Given, .given = ":123", .port = "123"},
        // Without a colon nothing is read into the row: no host, and port 0.
        {.name = "NoColon", .status = 0, .ending = Ending::Refused, .notice = "Error 1: No host given",
         .peer = Peer::Given, .given = "ntp.example", .port = "0"},
        {.name = "PortMinus1", .status = 0, .ending = Ending::Refused,
         .notice = "Error 2: Invalid port -1 (must be 1 to 65535)", .peer = Peer::Given, .given = "127.0.0.1:-1",
         .host = "127.0.0.1", .port = "-1"},
        {.name = "Port0", .status = 0, .ending = Ending::Refused,
         .notice = "Error 2: Invalid port 0 (must be 1 to 65535)", .retries = 2, .peer = Peer::Given,
         .given = "127.0.0.1:0", .host = "127.0.0.1", .port = "0"},
        {.name = "Port65536", .status = 0, .ending = Ending::Refused,
         .notice = "Error 2: Invalid port 65536 (must be 1 to 65535)", .retries = 2, .peer = Peer::Given,
         .given = "127.0.0.1:65536", .host = "127.0.0.1", .port = "65536"},
        {.name = "HostOf1000Characters", .status = 0, .ending = Ending::Refused,
         .notice = "Error 3: Host not found: {any}", .peer = Peer::Given, .given = std::string(1000, 'h') + ":123",
         .host = std::string(1000, 'h'), .port = "123", .isolated = true},
        {.name = "NameThatDoesNotResolve", .status = 0, .ending = Ending::Refused,
         .notice = "Error 3: Host not found: {any}", .retries = 1, .peer = Peer::Given,
         .given = "no-such-host.invalid:123", .host = "no-such-host.invalid", .port = "123", .isolated = true},
        // Quoted in the log, so that it reads back as one argument.
        {.name = "HostWithABlank", .status = 0, .ending = Ending::Refused,
         .notice = "Error 3: Host not found: {any}", .peer = Peer::Given, .given = "no such host:123",
         .host = "no such host", .port = "123", .isolated = true},
        {.name = "BadNumber", .status = 0, .ending = Ending::ArgumentError, .peer = Peer::Given,
         .args = std::vector<std::string>{"x", "2", "127.0.0.1:123"}},
        {.name = "NoArguments", .status = 0, .ending = Ending::NoServer, .peer = Peer::Given,
         .args = std::vector<std::string>{}},
    })),
    ParamName);

TEST(DropInInformation, VersionAndHelpAreAnsweredAtOnceWithoutARun) {
    for (const std::string flag : {"--version", "--help"}) {
        SCOPED_TRACE(flag);
        const ProbeRun run = RunProbe(ProbeBinary(), {flag}, {.logging = true});
        ASSERT_TRUE(run.result.exited) << Dump(run);
        EXPECT_EQ(run.result.exitStatus, 0);
        EXPECT_TRUE(run.result.out.starts_with(flag == "--version" ? "pelldor " : "Usage: pelldor ")) << run.result.out;
        EXPECT_EQ(run.result.err, "");
        // The switch file stays as it was: no start entry, so no run began.
        EXPECT_TRUE(run.lines.empty() && run.tail.empty()) << Dump(run);
    }
    const ProbeRun gone = RunProbe(ProbeBinary(), {"--help"}, {.via = WithReaderGone("stdout")});
    EXPECT_TRUE(gone.result.exited && gone.result.exitStatus == 0) << "into a pipe without a reader: " << Dump(gone);
}

}  // namespace
}  // namespace pelldor::testing
