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
#include <utility>
#include <vector>

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

// The drop-in's table trusts the responder's answers, so its encoding is checked first,
// against a decoding of its own, faults included: a row that expects no time must get no
// time because of its one fault, not because the responder sent nothing.
constexpr std::uint64_t kCookie = 0x0123456789abcdefULL;
using Id = std::array<std::uint8_t, 4>;

// An NTP timestamp as nanoseconds since 1970, valid until 2036.
std::int64_t UnixNanos(std::uint64_t ntp) {
    const auto seconds = static_cast<std::int64_t>(ntp >> 32) - 2'208'988'800;
    return seconds * 1'000'000'000 + static_cast<std::int64_t>(((ntp & 0xffffffffu) * 1'000'000'000) >> 32);
}

std::int64_t NowNanos() { return duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count(); }

// One answer in words: its length and port, and the header of one of 48 bytes or more.
std::string Described(const Datagram& d, const NtpResponder& server) {
    std::string text = std::to_string(d.bytes.size()) + (d.fromPort == server.port() ? " bytes" : " bytes, other port");
    if (d.bytes.size() < 48) return text;
    const NtpReplyHeader h = Decode(d.bytes);
    return text + ", leap " + std::to_string(h.leap) + " version " + std::to_string(h.version) + " mode " +
           std::to_string(h.mode) + " stratum " + std::to_string(h.stratum) + " " + h.ReferenceText() +
           (h.originTime == kCookie ? ", echoed" : ", not echoed") + (h.transmitTime == 0 ? ", no transmit" : "");
}

// A healthy answer carries the server's shifted time, read when the request came and when the
// answer left; each fault shows as intended.
TEST(Responder, EachAnswerLooksAsIntended) {
    const std::string healthy = "48 bytes, leap 0 version 4 mode 4 stratum 2 ...., echoed";
    const std::pair<ResponderOptions, std::string> cases[] = {
        {{}, healthy},
        {{.offset = -2500ms}, healthy},
        {{.offset = 30s}, healthy},
        {{.delay = 150ms}, healthy},
        {{.kind = ReplyKind::KissOfDeath}, "48 bytes, leap 3 version 4 mode 4 stratum 0 RATE, echoed"},
        {{.kind = ReplyKind::WrongOrigin}, "48 bytes, leap 0 version 4 mode 4 stratum 2 ...., not echoed"},
        {{.kind = ReplyKind::ZeroTransmit}, healthy + ", no transmit"},
        {{.kind = ReplyKind::Short, .shortLength = 47}, "47 bytes"},
        {{.kind = ReplyKind::Short, .shortLength = 0}, "0 bytes"},
        {{.kind = ReplyKind::OtherSourcePort}, "48 bytes, other port, leap 0 version 4 mode 4 stratum 2 ...., echoed"},
        {{.kind = ReplyKind::Padded, .paddedLength = 49}, "49 bytes, leap 0 version 4 mode 4 stratum 2 ...., echoed"},
        {{.leap = 1, .version = 5, .mode = 3, .stratum = 0, .referenceId = Id{'I', 'N', 'I', 'T'}},
         "48 bytes, leap 1 version 5 mode 3 stratum 0 INIT, echoed"},
    };
    for (const auto& [options, expected] : cases) {
        NtpResponder server(options);
        const std::int64_t before = NowNanos();
        const std::vector<Datagram> heard = Ask(server.port(), kCookie, 3s, false);
        const std::int64_t after = NowNanos();
        ASSERT_EQ(heard.size(), 1u) << expected;
        EXPECT_EQ(Described(heard[0], server), expected);
        EXPECT_EQ(server.requests(), 1);
        EXPECT_GE(after - before, nanoseconds(options.delay).count());
        if (expected != healthy) continue;
        const NtpReplyHeader h = Decode(heard[0].bytes);
        for (const std::uint64_t stamp : {h.receiveTime, h.transmitTime}) {
            EXPECT_GE(UnixNanos(stamp) - options.offset.count(), before - 1);
            EXPECT_LE(UnixNanos(stamp) - options.offset.count(), after + 1);
        }
        EXPECT_LE(h.receiveTime, h.transmitTime);
    }
}

TEST(Responder, ShapesTheStreamOfAnswers) {
    {
        NtpResponder server({.kind = ReplyKind::Silent});
        EXPECT_TRUE(Ask(server.port(), kCookie, 1s, true).empty());
        EXPECT_TRUE(Ask(server.port(), kCookie + 1, 1s, true).empty());
        EXPECT_EQ(server.received().size(), 2u);
    }
    {
        NtpResponder server({.garbageBefore = 4, .copies = 2});
        std::string stream;
        for (const Datagram& d : Ask(server.port(), kCookie, 1s, true)) {
            stream += d.bytes.size() == 48 && Decode(d.bytes).originTime == kCookie ? "answer " : "junk ";
        }
        EXPECT_EQ(stream, "junk junk junk junk answer answer ");
    }
}

// How the run ends, and so what its log shows after the sending lines.
enum class Ending {
    Answered,       // the server's time, whatever the verdict
    Refused,        // the notice on each attempt, at once; a kiss-o'-death asks only once
    TimedOut,       // each attempt waits to its deadline
    ArgumentError,  // no query at all
    NoServer,       // no server given: no query, and no line of its own
};

// A responder answers, or the port was just closed, or the server is the text `given`.
enum class Peer { Responder, ClosedPort, Given };

struct Row {
    const char* name;
    ResponderOptions server{};
    int status = -1;  // 100 when Answered, else 0, unless given
    Ending ending = Ending::Answered;
    std::string notice{};  // Refused: the client's notice
    // Every run that does not wait gets kPatientTimeout, so that one which did wait breaks
    // its bound.
    int timeout = kPatientTimeout;
    int retries = 0;
    milliseconds least{0};
    bool logging = true;
    Peer peer = Peer::Responder;
    // The server argument, "{port}" for the responder's; logged as its host and port, which
    // are read from it unless given.
    std::string given{};
    std::string host{};
    bool isolated = false;  // in a network namespace of its own, so a lookup cannot leave the machine
    std::string folder{};
    std::optional<std::vector<std::string>> args{};  // the whole command line instead
    const char* notUnderWine = nullptr;               // why the row cannot hold there
};

Row Refused(const char* name, ResponderOptions server, const char* notice, int retries = 0) {
    return {.name = name, .server = server, .ending = Ending::Refused, .notice = notice, .retries = retries};
}

Row TimedOut(const char* name, ResponderOptions server, int timeout = 1, int retries = 0, bool logging = true) {
    return {.name = name, .server = server, .ending = Ending::TimedOut, .timeout = timeout, .retries = retries,
            .logging = logging};
}

// A server that no query can go to, and the client's notice on each attempt.
Row Given(const char* name, std::string given, const char* notice, int retries = 0, bool isolated = false) {
    return {.name = name, .ending = Ending::Refused, .notice = notice, .retries = retries, .peer = Peer::Given,
            .given = std::move(given), .isolated = isolated};
}

void PrintTo(const Row& row, std::ostream* out) { *out << row.name; }

std::string Name(const ::testing::TestParamInfo<Row>& info) { return info.param.name; }

constexpr std::chrono::seconds kHalfEra{2'147'483'648};

class DropIn : public ::testing::TestWithParam<Row> {
protected:
    // A zone well away from UTC, and off by a half hour, that the program inherits: local
    // and universal time mixed up anywhere would show in the log and the verdict.
    void SetUp() override {
        setenv("TZ", "PELL-5:30", 1);
        tzset();
    }
};

TEST_P(DropIn, TheVerdictIsTheGoodReplysAlone) {
    Row c = GetParam();
    if (c.isolated && !CanIsolate()) GTEST_SKIP() << "no network namespace for a name lookup";
    if (c.notUnderWine != nullptr && UnderWine()) GTEST_SKIP() << c.notUnderWine;
    // Wine does not hand an ICMP port unreachable on to the program: the port looks silent.
    if (c.peer == Peer::ClosedPort && UnderWine()) c = {.name = c.name, .ending = Ending::TimedOut, .timeout = 1,
                                                        .retries = c.retries, .peer = Peer::ClosedPort};
    if (c.status < 0) c.status = c.ending == Ending::Answered ? 100 : 0;
    std::optional<NtpResponder> server;
    try {
        if (c.peer == Peer::Responder) server.emplace(c.server);
    } catch (const std::exception& e) {
        if (c.server.ipv6) GTEST_SKIP() << "no IPv6 loopback here: " << e.what();
        throw;
    }
    std::string given = server && c.given.empty() ? server->Peer() : c.given;
    if (const auto at = given.find("{port}"); server && at != std::string::npos) {
        given.replace(at, 6, std::to_string(server->port()));
    }
    if (c.peer == Peer::ClosedPort) given = "127.0.0.1:" + std::to_string(ClosedPort());
    const std::size_t colon = given.find(':');
    const std::string host = !c.host.empty() ? c.host : colon == std::string::npos ? "" : given.substr(0, colon);
    const std::string port = colon == std::string::npos ? "0" : given.substr(given.rfind(':') + 1);

    ProbeSetup setup{.logging = c.logging, .folder = c.folder};
    if (c.isolated) setup.via = {UnshareTool(), "--net", "--"};
    const int attempts = std::max(c.retries, 0) + 1;
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
    if (halfEra && c.logging) c.status = LoggedLag(run) > 0 ? 100 : 0;
    ExpectEndWithin(run, c.status, c.timeout, c.retries);
    EXPECT_GE(run.result.elapsed, c.least) << Dump(run);
    if (c.ending == Ending::TimedOut) {
        EXPECT_GE(run.result.elapsed, attempts * seconds(std::max(c.timeout, 0))) << Dump(run);
    }
    if (server) {
        const bool once = c.ending == Ending::Answered || c.notice.starts_with("Error 6: Kiss");
        EXPECT_EQ(server->requests(), once ? 1 : attempts);
        // Every request a well-formed client request with a cookie of its own.
        std::set<std::vector<std::uint8_t>> cookies;
        for (const auto& request : server->received()) {
            ASSERT_EQ(request.size(), 48u);
            EXPECT_EQ(request[0] & 7, 3) << "mode";
            EXPECT_TRUE(((request[0] >> 3) & 7) >= 1 && ((request[0] >> 3) & 7) <= 4) << "version";
            const std::vector<std::uint8_t> cookie(request.begin() + 40, request.end());
            EXPECT_NE(cookie, std::vector<std::uint8_t>(8, 0));
            EXPECT_TRUE(cookies.insert(cookie).second) << "a cookie sent twice";
        }
    }

    const std::string timedOut = "Error 5: No answer within " + std::to_string(c.timeout) + " s (netClock_Error)";
    switch (c.ending) {
    case Ending::Answered:
        ExpectLog(run, AnsweredLog(tail, host, port, c.status));
        if (c.logging) {
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

constexpr char kFolder[] = "Zeitpr\xc3\xbc" "fung \xe6\x99\x82\xe5\x88\xbb \xf0\x9f\x95\x92";

// The verdict from the server's clock. The healthy row also holds its log in a folder whose
// name needs more than ASCII, which pelldor.exe must turn into a Windows path.
const std::vector<Row> kAnswers = {
    {.name = "LevelWithLog", .folder = kFolder},
    {.name = "LevelWithoutLog", .logging = false, .folder = kFolder},
    {.name = "Ahead5s", .server = {.offset = 5s}},
    {.name = "Behind2500ms", .server = {.offset = -2500ms}},
    {.name = "Behind4500ms", .server = {.offset = -4500ms}, .status = 0},
    {.name = "Behind1h", .server = {.offset = -1h}, .status = 0},
    // 0x80000000 seconds either way puts the same bytes on the wire: half an era, read
    // as half an era away rather than as no offset at all. Which way depends on the
    // microseconds of the exchange; the verdict follows the side it is read on.
    {.name = "HalfAnEraOff", .server = {.offset = -kHalfEra}, .status = 0},
    {.name = "Ipv6LiteralInBracketsLoggedWithout", .server = {.ipv6 = true}, .host = "::1"},
    {.name = "NamedHostIsLookedUp", .given = "localhost:{port}"},
};
INSTANTIATE_TEST_SUITE_P(Answers, DropIn, ::testing::ValuesIn(kAnswers), Name);

// One header field broken at a time: a reply that cannot be the answer is waited past, one
// that tells the server cannot give time ends the attempt.
const std::vector<Row> kFields = {
    TimedOut("Mode3", {.mode = 3}),
    TimedOut("Mode5", {.mode = 5}),
    TimedOut("Version0", {.version = 0}),
    TimedOut("Version5", {.version = 5}),
    {.name = "Version3", .server = {.version = 3}},
    Refused("Stratum0WithoutKissCode", {.stratum = 0, .referenceId = Id{0, 0, 0, 0}},
            "Error 7: Server not synchronised (stratum 0)"),
    Refused("RateKissWithoutLeapAlarm", {.stratum = 0, .referenceId = Id{'R', 'A', 'T', 'E'}},
            "Error 6: Kiss-o'-death from server: RATE"),
    Refused("Leap3", {.leap = 3}, "Error 7: Server not synchronised (leap indicator 3)"),
    Refused("Stratum16", {.stratum = 16}, "Error 7: Server not synchronised (stratum 16)"),
    Refused("ZeroTransmit", {.kind = ReplyKind::ZeroTransmit}, "Error 8: Invalid reply: zero transmit timestamp"),
    TimedOut("WrongOrigin", {.kind = ReplyKind::WrongOrigin}),
};
INSTANTIATE_TEST_SUITE_P(Fields, DropIn, ::testing::ValuesIn(kFields), Name);

constexpr char kTransmitFirst[] = "Error 8: Invalid reply: transmit timestamp before receive timestamp";
constexpr char kHeld[] = "Error 8: Invalid reply: server held the request longer than the exchange took";
constexpr char kFar[] = "Error 8: Invalid reply: root distance {any} s (limit 16 s)";

// Answers whose own fields contradict each other or disown their time, and kiss codes.
const std::vector<Row> kConsistency = {
    Refused("TransmitFiveSecondsBeforeReceive", {.transmitShift = -5s}, kTransmitFirst),
    Refused("ReceiveLateTransmitEarly", {.receiveShift = 30s, .transmitShift = -10s}, kTransmitFirst),
    // Measured: the round trip read negative and the offset 34 years ahead.
    Refused("ReceivedTwoTo31SecondsBeforeTransmitFromAServerBehind",
            {.offset = -10s, .receiveShift = -2147483647s}, kHeld),
    Refused("HeldFiveSecondsLongerThanTheExchange", {.receiveShift = -5s}, kHeld),
    Refused("RootDispersion65535s", {.rootDispersion = 0xffff'ffff}, kFar),
    Refused("RootDelay65535s", {.rootDelay = 0xffff'ffff}, kFar),
    // A time service running on its own clock, as some systems' are: still worth asking.
    {.name = "RootDispersion10s", .server = {.rootDispersion = 0x000a'0000}},
    Refused("RateKissWithRetriesLeft", {.kind = ReplyKind::KissOfDeath}, "Error 6: Kiss-o'-death from server: RATE",
            2),
    Refused("DenyKissWithRetriesLeft", {.stratum = 0, .referenceId = Id{'D', 'E', 'N', 'Y'}},
            "Error 6: Kiss-o'-death from server: DENY", 2),
    Refused("InitKissIsAskedAgain", {.leap = 3, .stratum = 0, .referenceId = Id{'I', 'N', 'I', 'T'}},
            "Error 7: Server not synchronised (kiss code INIT)", 1),
};
INSTANTIATE_TEST_SUITE_P(Consistency, DropIn, ::testing::ValuesIn(kConsistency), Name);

// Lengths around the 48 bytes of an answer; 9000 is more than the client's receive buffer.
const std::vector<Row> kLengths = {
    TimedOut("Empty", {.kind = ReplyKind::Short, .shortLength = 0}),
    TimedOut("Short47", {.kind = ReplyKind::Short, .shortLength = 47}),
    {.name = "Padded49", .server = {.kind = ReplyKind::Padded, .paddedLength = 49}},
    {.name = "Padded1500", .server = {.kind = ReplyKind::Padded, .paddedLength = 1500}},
    {.name = "Padded9000", .server = {.kind = ReplyKind::Padded, .paddedLength = 9000}},
};
INSTANTIATE_TEST_SUITE_P(Lengths, DropIn, ::testing::ValuesIn(kLengths), Name);

// What comes around the answer. The burst outpaces a reader of 64 datagrams each 10 ms, but
// is paced so that the kernel keeps all of it for one that reads whenever its socket has
// data. The answer after the deadline reaches the first attempt's port a second or more
// after that attempt has surely ended, while the second one waits: its fresh socket and
// cookie must not take it, nor the first attempt stalled for under a second at its end.
// A timeout of 0 or less gives the client no timeout of its own.
const std::vector<Row> kStream = {
    {.name = "BurstOf50000FromTheServersPortFirst", .server = {.garbageBefore = 50'000, .garbageBatch = 500},
     .timeout = 20,
     .notUnderWine = "Wine reads each datagram through its server, too slowly for the burst: it is lost in "
                     "the kernel before the program sees it"},
    {.name = "ThreeCopies", .server = {.copies = 3}},
    {.name = "LateButInTime", .server = {.delay = 1500ms}, .least = 1500ms},
    TimedOut("OtherSourcePort", {.kind = ReplyKind::OtherSourcePort}),
    TimedOut("AnswerAfterTheDeadline", {.delay = 5000ms}, 3, 1),
    TimedOut("SilentWithLog", {.kind = ReplyKind::Silent}, 1, 1),
    TimedOut("SilentWithoutLog", {.kind = ReplyKind::Silent}, 1, 1, false),
    TimedOut("SilentTimeout0", {.kind = ReplyKind::Silent}, 0, 2),
    TimedOut("SilentTimeoutMinus1", {.kind = ReplyKind::Silent}, -1, 2),
};
INSTANTIATE_TEST_SUITE_P(Stream, DropIn, ::testing::ValuesIn(kStream), Name);

// Servers that cannot be reached, and arguments that make no sense.
const std::vector<Row> kUnreachable = {
    {.name = "ClosedPortOnEachOfThreeAttempts", .ending = Ending::Refused,
     .notice = "Error 4: Network error: Connection refused", .retries = 2, .peer = Peer::ClosedPort},
    Given("EmptyHost", ":123", "Error 1: No host given", 1),
    // Without a colon nothing is read into the row: no host, and port 0.
    Given("NoColon", "ntp.example", "Error 1: No host given"),
    Given("PortMinus1", "127.0.0.1:-1", "Error 2: Invalid port -1 (must be 1 to 65535)"),
    Given("Port0", "127.0.0.1:0", "Error 2: Invalid port 0 (must be 1 to 65535)", 2),
    Given("Port65536", "127.0.0.1:65536", "Error 2: Invalid port 65536 (must be 1 to 65535)", 2),
    Given("HostOf1000Characters", std::string(1000, 'h') + ":123", "Error 3: Host not found: {any}", 0, true),
    Given("NameThatDoesNotResolve", "no-such-host.invalid:123", "Error 3: Host not found: {any}", 1, true),
    // Quoted in the log, so that it reads back as one argument.
    Given("HostWithABlank", "no such host:123", "Error 3: Host not found: {any}", 0, true),
    {.name = "BadNumber", .ending = Ending::ArgumentError, .peer = Peer::Given,
     .args = std::vector<std::string>{"x", "2", "127.0.0.1:123"}},
    {.name = "NoArguments", .ending = Ending::NoServer, .peer = Peer::Given, .args = std::vector<std::string>{}},
};
INSTANTIATE_TEST_SUITE_P(Unreachable, DropIn, ::testing::ValuesIn(kUnreachable), Name);

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
