#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <ostream>
#include <regex>
#include <string>
#include <system_error>
#include <thread>
#include <tuple>
#include <vector>

#include "support/probe_run.h"
#include "support/process.h"
#include "support/responder.h"

// The real binary against servers and settings that try to break it. Whatever happens, a
// run ends within its time bound, through exit, and never with a verdict the good reply
// alone would not give.
namespace pelldor::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;
using namespace std::chrono_literals;

const std::regex kNotice(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\dError \d+: .* \(netClock_Error\)$)");

struct Outcome : ProbeRun {
    int timeout = 0;
    int retries = 0;
};

// What a run may take: each attempt its timeout plus 1.1 s, 0.5 s to start and end, with
// the log on 0.3 s for each error notice and 1 s for the other pauses, and kSlack.
milliseconds Bound(int timeout, int retries, bool logging, long notices) {
    const long attempts = std::max(retries, 0) + 1;
    const milliseconds logged = logging ? milliseconds(300 * notices) + 1000ms : 0ms;
    return attempts * (seconds(std::max(timeout, 0)) + 1100ms) + 500ms + logged + kSlack;
}

long Notices(const Outcome& run) {
    return std::count_if(run.lines.begin(), run.lines.end(),
                         [](const std::string& line) { return std::regex_match(line, kNotice); });
}

void ExpectWithinBound(const Outcome& run) {
    EXPECT_LE(run.result.elapsed, Bound(run.timeout, run.retries, run.logging, Notices(run))) << Dump(run);
}

std::string UnshareTool() {
    for (const char* path : {"/usr/bin/unshare", "/bin/unshare"}) {
        if (access(path, X_OK) == 0) return path;
    }
    return {};
}

bool CanIsolate() {
    static const bool can = [] {
        const std::string tool = UnshareTool();
        if (tool.empty()) return false;
        const RunResult probe = RunProgram(tool, {"--net", "--", "/bin/true"}, 5s);
        return probe.exited && probe.exitStatus == 0;
    }();
    return can;
}

// `isolated`: in a network namespace of its own, so that a name lookup cannot leave the machine.
Outcome Launch(int timeout, int retries, const std::string& server, ProbeSetup setup = {}, bool isolated = false) {
    if (isolated) setup.via = {UnshareTool(), "--net", "--"};
    const long mostNotices = 2L * (std::max(retries, 0) + 1);
    setup.killAfter = Bound(timeout, retries, true, mostNotices) + 5s;
    return {RunProbe(ProbeBinary(), {std::to_string(timeout), std::to_string(retries), server}, setup), timeout,
            retries};
}

// Ended through exit with this status, quietly, within its bound, with a log only when
// one was asked for.
void ExpectCleanEnd(const Outcome& run, int status) {
    ExpectEnd(run, status);
    ExpectWithinBound(run);
}

std::string TailOf(int timeout, int retries, const std::string& server) {
    return std::to_string(timeout) + " " + std::to_string(retries) + " " + server;
}

// ---------------------------------------------------------------------------------------
// Replies with one field broken at a time.

struct Hostile {
    const char* name;
    ResponderOptions options;
    int status;
    std::string notice;  // the client's notice when the reply ends the query at once
    bool waits = false;  // not the answer: the probe must wait on to its deadline
    int retries = 0;
    bool stops = false;  // the server told the probe to stop: one request, whatever the retries
    int timeout = 1;
};

void PrintTo(const Hostile& c, std::ostream* out) { *out << c.name; }

class HostileReply : public ::testing::TestWithParam<std::tuple<Hostile, bool>> {};

TEST_P(HostileReply, TheVerdictIsTheGoodReplysAlone) {
    const auto& [c, logging] = GetParam();
    NtpResponder server(c.options);
    const std::string port = std::to_string(server.port());
    const Outcome run = Launch(c.timeout, c.retries, server.Peer(), {.logging = logging});
    ExpectCleanEnd(run, c.status);

    const int attempts = c.retries + 1;
    EXPECT_EQ(server.requests(), c.stops ? 1 : attempts);
    if (c.waits) {
        EXPECT_GE(run.result.elapsed, attempts * seconds(c.timeout)) << Dump(run);
    }
    const std::string tail = TailOf(c.timeout, c.retries, server.Peer());
    const std::string timedOut = "Error 5: No answer within " + std::to_string(c.timeout) + " s (netClock_Error)";
    ExpectLog(run,
              c.status == 100 ? AnsweredLog(tail, "127.0.0.1", port, 100)
                              : FailedLog(tail, "127.0.0.1", port, c.notice, attempts),
              {c.waits ? timedOut : "", c.waits ? attempts : 0});
    if (logging && c.status == 100) {
        const long long lag = LoggedLag(run);
        EXPECT_GE(lag, -1) << Dump(run);
        EXPECT_LE(lag, 1) << Dump(run);
    }
}

std::string HostileName(const ::testing::TestParamInfo<std::tuple<Hostile, bool>>& info) {
    return std::string(std::get<0>(info.param).name) + (std::get<1>(info.param) ? "WithLog" : "WithoutLog");
}

INSTANTIATE_TEST_SUITE_P(
    Fields, HostileReply,
    ::testing::Combine(
        ::testing::Values(Hostile{"Mode3", {.mode = 3}, 0, "", true}, Hostile{"Mode5", {.mode = 5}, 0, "", true},
                          Hostile{"Version0", {.version = 0}, 0, "", true},
                          Hostile{"Version5", {.version = 5}, 0, "", true},
                          Hostile{"Version3", {.version = 3}, 100, ""},
                          Hostile{"Stratum0WithoutKissCode",
                                  {.stratum = 0, .referenceId = std::array<std::uint8_t, 4>{0, 0, 0, 0}},
                                  0,
                                  "Error 7: Server not synchronised (stratum 0)"},
                          Hostile{"RateKissWithoutLeapAlarm",
                                  {.stratum = 0, .referenceId = std::array<std::uint8_t, 4>{'R', 'A', 'T', 'E'}},
                                  0,
                                  "Error 6: Kiss-o'-death from server: RATE"}),
        ::testing::Bool()),
    HostileName);

// Answers whose own fields contradict each other or disown their time, and kiss codes.
INSTANTIATE_TEST_SUITE_P(
    Consistency, HostileReply,
    ::testing::Combine(
        ::testing::Values(
            Hostile{"TransmitFiveSecondsBeforeReceive",
                    {.transmitShift = -5s},
                    0,
                    "Error 8: Invalid reply: transmit timestamp before receive timestamp"},
            Hostile{"ReceiveLateTransmitEarly",
                    {.receiveShift = 30s, .transmitShift = -10s},
                    0,
                    "Error 8: Invalid reply: transmit timestamp before receive timestamp"},
            // Measured: the round trip read negative and the offset 34 years ahead.
            Hostile{"ReceivedTwoTo31SecondsBeforeTransmitFromAServerBehind",
                    {.offset = -10s, .receiveShift = -2147483647s},
                    0,
                    "Error 8: Invalid reply: server held the request longer than the exchange took"},
            Hostile{"HeldFiveSecondsLongerThanTheExchange",
                    {.receiveShift = -5s},
                    0,
                    "Error 8: Invalid reply: server held the request longer than the exchange took"},
            Hostile{"RootDispersion65535s",
                    {.rootDispersion = 0xffff'ffff},
                    0,
                    "Error 8: Invalid reply: root distance {any} s (limit 16 s)"},
            Hostile{"RootDelay65535s",
                    {.rootDelay = 0xffff'ffff},
                    0,
                    "Error 8: Invalid reply: root distance {any} s (limit 16 s)"},
            // A time service running on its own clock, as some systems' are: still worth asking.
            Hostile{"RootDispersion10s", {.rootDispersion = 0x000a'0000}, 100, ""},
            Hostile{"RateKissWithRetriesLeft", {.kind = ReplyKind::KissOfDeath}, 0,
                    "Error 6: Kiss-o'-death from server: RATE", false, 2, true},
            Hostile{"DenyKissWithRetriesLeft",
                    {.stratum = 0, .referenceId = std::array<std::uint8_t, 4>{'D', 'E', 'N', 'Y'}},
                    0,
                    "Error 6: Kiss-o'-death from server: DENY",
                    false,
                    2,
                    true},
            Hostile{"InitKissIsAskedAgain",
                    {.leap = 3, .stratum = 0, .referenceId = std::array<std::uint8_t, 4>{'I', 'N', 'I', 'T'}},
                    0,
                    "Error 7: Server not synchronised (kiss code INIT)",
                    false,
                    1}),
        ::testing::Bool()),
    HostileName);

// 9000 bytes is more than the client's receive buffer holds.
INSTANTIATE_TEST_SUITE_P(
    Lengths, HostileReply,
    ::testing::Combine(
        ::testing::Values(Hostile{"Padded49", {.kind = ReplyKind::Padded, .paddedLength = 49}, 100, ""},
                          Hostile{"Padded1500", {.kind = ReplyKind::Padded, .paddedLength = 1500}, 100, ""},
                          Hostile{"Padded9000", {.kind = ReplyKind::Padded, .paddedLength = 9000}, 100, ""}),
        ::testing::Bool()),
    HostileName);

// The flood is paced below what the client reads per delivery: a burst larger than its
// socket's receive buffer (about 256 small datagrams on loopback) loses the answer in the
// kernel. The answer after the deadline lands, for the first attempt, in the second one,
// whose fresh socket and cookie must not take it; a second or more from either end of
// that window, so that a stalled probe still sees it there.
INSTANTIATE_TEST_SUITE_P(
    Stream, HostileReply,
    ::testing::Combine(
        ::testing::Values(Hostile{"FloodOf500First", {.garbageBefore = 500, .garbageBatch = 0}, 100, ""},
                          Hostile{"AnswerAfterTheDeadline", {.delay = 3000ms}, 0, "", true, 1, false, 2}),
        ::testing::Bool()),
    HostileName);

// Without the log the same case is in the main system tests.
INSTANTIATE_TEST_SUITE_P(
    Empty, HostileReply,
    ::testing::Combine(::testing::Values(Hostile{
                           "EmptyDatagram", {.kind = ReplyKind::Short, .shortLength = 0}, 0, "", true}),
                       ::testing::Values(true)),
    HostileName);

// ---------------------------------------------------------------------------------------
// Servers that cannot be reached and server arguments that make no sense.

enum class Target { ClosedPort, Silent, Given };

struct Unreachable {
    const char* name;
    int timeout;
    int retries;
    Target target;
    std::string server;  // as given, for Target::Given
    std::string host;    // as logged, for Target::Given
    std::string port;
    std::string notice;  // on each attempt
    bool isolated = false;
};

void PrintTo(const Unreachable& c, std::ostream* out) { *out << c.name; }

class NoServer : public ::testing::TestWithParam<std::tuple<Unreachable, bool>> {};

TEST_P(NoServer, EndsWithStatusZeroWithinItsBound) {
    const auto& [c, logging] = GetParam();
    if (c.isolated && !CanIsolate()) GTEST_SKIP() << "no network namespace for a name lookup";
    std::optional<NtpResponder> silent;
    std::string server = c.server;
    std::string host = c.host;
    std::string port = c.port;
    if (c.target != Target::Given) {
        if (c.target == Target::Silent) silent.emplace(ResponderOptions{.kind = ReplyKind::Silent});
        host = "127.0.0.1";
        port = std::to_string(silent ? silent->port() : ClosedPort());
        server = host + ":" + port;
    }

    const Outcome run = Launch(c.timeout, c.retries, server, {.logging = logging}, c.isolated);
    ExpectCleanEnd(run, 0);

    const int attempts = std::max(c.retries, 0) + 1;
    if (silent) {
        EXPECT_EQ(silent->requests(), attempts);
        EXPECT_GE(run.result.elapsed, attempts * seconds(std::max(c.timeout, 0))) << Dump(run);
    }
    // Wine does not hand an ICMP port unreachable on to the program: the port looks silent.
    if (c.target == Target::ClosedPort && UnderWine()) {
        EXPECT_GE(run.result.elapsed, attempts * seconds(c.timeout)) << Dump(run);
        ExpectLog(run, FailedLog(TailOf(c.timeout, c.retries, server), host, port, "", attempts),
                  {"Error 5: No answer within " + std::to_string(c.timeout) + " s (netClock_Error)", attempts});
        return;
    }
    ExpectLog(run, FailedLog(TailOf(c.timeout, c.retries, server), host, port, c.notice, attempts));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NoServer,
    ::testing::Combine(
        ::testing::Values(Unreachable{"ClosedPortOnEachOfThreeAttempts", 1, 2, Target::ClosedPort, "", "", "",
                                      "Error 4: Network error: Connection refused"},
                          // A time-out of 0 or less gives the client no time-out of its own, so no notice.
                          Unreachable{"SilentTimeout0", 0, 2, Target::Silent, "", "", "", ""},
                          Unreachable{"SilentTimeoutMinus1", -1, 2, Target::Silent, "", "", "", ""},
                          Unreachable{"EmptyHostTimeoutMinus1", -1, 1, Target::Given, ":123", "", "123",
                                      "Error 1: No host given"},
                          // Without a colon nothing is read into the row: no host, and port 0.
                          Unreachable{"NoColon", 1, 0, Target::Given, "ntp.example", "", "0",
                                      "Error 1: No host given"},
                          Unreachable{"PortMinus1", 1, 0, Target::Given, "127.0.0.1:-1", "127.0.0.1", "-1",
                                      "Error 2: Invalid port -1 (must be 1 to 65535)"},
                          Unreachable{"HostOf1000Characters", 1, 0, Target::Given, std::string(1000, 'h') + ":123",
                                      std::string(1000, 'h'), "123", "Error 3: Host not found: {any}", true},
                          Unreachable{"NameThatDoesNotResolve", 1, 1, Target::Given, "no-such-host.invalid:123",
                                      "no-such-host.invalid", "123", "Error 3: Host not found: {any}", true}),
        ::testing::Bool()),
    [](const auto& info) {
        return std::string(std::get<0>(info.param).name) + (std::get<1>(info.param) ? "WithLog" : "WithoutLog");
    });

// The /proc folder of the running probe started from the copy beside this log; empty
// before it has started. The probe itself says nothing.
fs::path ProcessOf(const std::string& log) {
    const fs::path copy = fs::path(log).parent_path() / fs::path(ProbeBinary()).filename();
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/proc", error)) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") == std::string::npos && fs::read_symlink(entry.path() / "exe", error) == copy) {
            return entry.path();
        }
    }
    return {};
}

int ThreadsOf(const std::string& log) {
    const fs::path process = ProcessOf(log);
    std::error_code error;
    return process.empty() ? 0 : static_cast<int>(std::distance(fs::directory_iterator(process / "task", error),
                                                                fs::directory_iterator()));
}

TEST(SlowNames, ASilentNameServerCostsOneResolverThreadHoweverManyRetries) {
    if (!CanIsolate()) GTEST_SKIP() << "no network namespace for a name lookup";
    if (UnderWine()) GTEST_SKIP() << "the probe is found and its threads counted as a Linux process; under Wine "
                                     "the process is Wine's loader, with threads of Wine's own";
    // In a namespace of its own the name server is a neighbour on a veth pair whose other
    // end takes nothing addressed to it: every query vanishes without an answer or an
    // error, as with a dead name server.
    const TempDir dir;
    const std::string resolvConf = dir.File("resolv.conf");
    std::ofstream(resolvConf) << "nameserver 10.213.0.2\noptions timeout:30 attempts:1\n";
    const std::string setUp =
        "ip link set lo up && ip link add v0 type veth peer name v1 && ip addr add 10.213.0.1/24 dev v0 && "
        "ip link set v0 up && ip link set v1 up && "
        "ip neigh add 10.213.0.2 lladdr 02:00:00:00:00:02 dev v0 nud permanent && "
        "mount --bind " + resolvConf + " /etc/resolv.conf && exec \"$0\" \"$@\"";
    std::atomic<int> most{0};
    std::atomic<int> samples{0};
    const auto watch = [&](const std::string& log, const std::atomic<bool>& over) {
        for (int i = 0; i < 1000 && !over; ++i) {
            const int threads = ThreadsOf(log);
            if (threads > 0) ++samples;
            most = std::max(most.load(), threads);
            std::this_thread::sleep_for(10ms);
        }
    };
    // A negative timeout ends each attempt after its first poll: 101 attempts in about 2 s.
    const Outcome run = Launch(-1, 100, "slow.example:123",
                               {.via = {UnshareTool(), "--net", "--mount", "--", "/bin/sh", "-c", setUp},
                                .during = watch});
    ExpectCleanEnd(run, 0);
    EXPECT_GT(samples.load(), 10) << "the probe was not seen running";
    // The probe's own thread and the one resolver.
    EXPECT_LE(most.load(), 2) << Dump(run);
    EXPECT_GE(run.result.elapsed, 101 * 20ms) << "every attempt polled once";
}

// ---------------------------------------------------------------------------------------
// Whatever the process is started with or sent while it waits.

// A run against a silent server whose process, once its request is out, is handed to
// `act` by its /proc folder.
Outcome WhileItWaits(int timeout, std::vector<std::string> via, const std::function<void(const fs::path&)>& act) {
    NtpResponder server({.kind = ReplyKind::Silent});
    const auto watch = [&](const std::string& log, const std::atomic<bool>& over) {
        for (int i = 0; i < 1000 && !over && server.requests() == 0; ++i) std::this_thread::sleep_for(5ms);
        if (const fs::path process = ProcessOf(log); !process.empty()) act(process);
    };
    return Launch(timeout, 0, server.Peer(), {.via = std::move(via), .during = watch});
}

TEST(HostileStart, ASignalThatWouldEndTheRunEndsItWithStatusOne) {
    if (UnderWine()) GTEST_SKIP() << "a Unix signal ends Wine's process; a close request is the Windows counterpart";
    for (const int signal : {SIGTERM, SIGHUP, SIGINT, SIGALRM, SIGUSR1, SIGUSR2}) {
        SCOPED_TRACE(strsignal(signal));
        const Outcome run = WhileItWaits(kPatientTimeout, {}, [signal](const fs::path& process) {
            ::kill(std::stoi(process.filename().string()), signal);
        });
        ExpectEnd(run, 1);
        EXPECT_LT(run.result.elapsed, seconds(kPatientTimeout)) << Dump(run);
    }
}

TEST(HostileStart, StandardDescriptorsClosedAtTheStartAreOpenOnDevNull) {
    if (UnderWine()) GTEST_SKIP() << "the descriptors seen are Wine's; Windows hands out no numbered ones";
    std::vector<std::string> targets;
    const Outcome run = WhileItWaits(1, {"/bin/sh", "-c", "exec \"$0\" \"$@\" <&- >&- 2>&-"}, [&](const fs::path& process) {
        std::error_code closed;
        for (const char* fd : {"0", "1", "2"}) targets.push_back(fs::read_symlink(process / "fd" / fd, closed).string());
    });
    ExpectEnd(run, 0);
    EXPECT_EQ(targets, std::vector<std::string>(3, "/dev/null"));
}

TEST(HostileStart, WithoutProcTheLogIsBesideTheRealProgramAndNowhereElse) {
    if (UnderWine()) GTEST_SKIP() << "Windows tells the program its own path; /proc is not asked";
#ifdef __SANITIZE_ADDRESS__
    if (ProbeBinary() == BuiltBinary()) GTEST_SKIP() << "AddressSanitizer needs /proc itself and says so on stderr";
#endif
    const std::string hideProc = "mount -t tmpfs none /proc";
    const RunResult can = RunProgram(UnshareTool(), {"--mount", "--", "/bin/sh", "-c", hideProc}, 5s);
    if (!can.exited || can.exitStatus != 0) GTEST_SKIP() << "no mount namespace to hide /proc in";
    NtpResponder server;
    // Started from a folder beside the program's, holding a link to it and a log of its own.
    for (const std::string start : {"exec ./\"$name\" \"$@\"", "PATH=$real && exec \"$name\" \"$@\""}) {
        SCOPED_TRACE(start);
        const std::string script = hideProc + " && real=$(dirname \"$0\") && name=$(basename \"$0\") && cd \"$real/../elsewhere\" && " + start;
        const fs::path program = fs::path(ProbeBinary()).filename();
        const auto link = [&program](const std::string& folder) {
            const fs::path elsewhere = fs::path(folder).parent_path() / "elsewhere";
            fs::create_directory(elsewhere);
            fs::create_symlink(fs::path(folder) / program, elsewhere / program);
            std::ofstream(elsewhere / "ntpdebug.txt").flush();
        };
        std::string elsewhere = "unread";
        const Outcome run = Launch(1, 0, server.Peer(),
                                   {.logging = true, .via = {UnshareTool(), "--mount", "--", "/bin/sh", "-c", script},
                                    .folder = "real", .prepare = link, .inspect = [&](const std::string& folder) {
                                        elsewhere = ReadWholeFile(fs::path(folder).parent_path() / "elsewhere/ntpdebug.txt");
                                    }});
        ExpectCleanEnd(run, 100);
        ExpectLog(run, AnsweredLog(TailOf(1, 0, server.Peer()), "127.0.0.1", std::to_string(server.port()), 100));
        EXPECT_EQ(elsewhere, "") << "logged beside the link or in the working folder";
    }
}

// ---------------------------------------------------------------------------------------
// The log file itself misbehaving.

// For ProbeSetup::during: once the first attempt has begun, so that logging is surely on
// and later lines are due, `change` is done to the log; `done` tells whether it was.
auto OnceSending(std::function<bool(const std::string& log)> change, std::atomic<bool>& done) {
    return [change = std::move(change), &done](const std::string& log, const std::atomic<bool>& over) {
        const auto giveUp = steady_clock::now() + 5s;
        while (!over && steady_clock::now() < giveUp) {
            if (ReadWholeFile(log).find(" --> Sending Query") != std::string::npos) {
                done = change(log);
                return;
            }
            std::this_thread::sleep_for(5ms);
        }
    };
}

// Ended through exit with status 1 within its bound, after the one line of an unhandled
// error on standard error that names the log (unless standard error went nowhere), and
// nothing on standard output.
void ExpectFailedAppend(const Outcome& run, bool heard = true) {
    ASSERT_TRUE(run.result.started) << run.result.startError;
    ASSERT_TRUE(run.result.exited) << Dump(run);
    EXPECT_EQ(run.result.exitStatus, 1) << Dump(run);
    EXPECT_EQ(run.result.out, "");
    ExpectWithinBound(run);
    if (!heard) return;
    EXPECT_EQ(std::count(run.result.err.begin(), run.result.err.end(), '\n'), 1) << run.result.err;
    EXPECT_TRUE(run.result.err.starts_with("pelldor: unhandled error: file operation: cannot append to "))
        << run.result.err;
    EXPECT_TRUE(run.result.err.ends_with("\n")) << run.result.err;
    EXPECT_NE(run.result.err.find("ntpdebug.txt"), std::string::npos) << run.result.err;
}

TEST(HostileLog, DeletedDuringTheRunItIsCreatedAgainWithTheLaterLines) {
    NtpResponder server({.kind = ReplyKind::Silent});
    const std::string port = std::to_string(server.port());
    std::atomic<bool> deleted{false};
    const auto deleter = OnceSending([](const std::string& log) { return fs::remove(log); }, deleted);
    const Outcome run = Launch(1, 1, server.Peer(), {.logging = true, .during = deleter});
    ASSERT_TRUE(deleted);
    ExpectCleanEnd(run, 0);
    EXPECT_EQ(server.requests(), 2);
    ExpectLog(run,
              {" --> Sending Query to 127.0.0.1 on port " + port, " --- Server Time: n/a", " --- Local  Time: {ts}",
               " Return Value: 0"},
              {"Error 5: No answer within 1 s (netClock_Error)", 2});
}

TEST(HostileLog, AFolderNamedLikeTheLogLeavesLoggingOff) {
    struct Case {
        const char* name;
        bool answers;
        int status;
    };
    for (const Case& c : {Case{"healthy server", true, 100}, Case{"closed port", false, 0}}) {
        SCOPED_TRACE(c.name);
        std::optional<NtpResponder> server;
        if (c.answers) server.emplace();
        const std::string peer = server ? server->Peer() : "127.0.0.1:" + std::to_string(ClosedPort());
        std::vector<std::string> entries;
        bool folderEmpty = false;
        const Outcome run = Launch(
            1, 0, peer,
            {.prepare = [](const std::string& folder) { fs::create_directory(folder + "/ntpdebug.txt"); },
             .inspect =
                 [&](const std::string& folder) {
                     for (const auto& entry : fs::directory_iterator(folder)) {
                         entries.push_back(entry.path().filename().string());
                     }
                     folderEmpty = fs::is_directory(folder + "/ntpdebug.txt") && fs::is_empty(folder + "/ntpdebug.txt");
                 }});
        // Logging on would have meant appending to a folder: status 1 and a line on stderr.
        ExpectCleanEnd(run, c.status);
        std::vector<std::string> expected{"ntpdebug.txt", fs::path(ProbeBinary()).filename().string()};
        std::sort(expected.begin(), expected.end());
        std::sort(entries.begin(), entries.end());
        EXPECT_EQ(entries, expected);
        EXPECT_TRUE(folderEmpty);
    }
}

// Root may write to any file whatever its mode, but not to a kernel attribute that has no
// writer; such a file stats as an ordinary file.
std::string UnwritableRegularFile() {
    for (const char* path : {"/sys/devices/system/cpu/online", "/sys/devices/system/cpu/possible",
                             "/sys/devices/system/cpu/present", "/sys/kernel/mm/transparent_hugepage/hpage_pmd_size"}) {
        struct stat info {};
        if (stat(path, &info) != 0 || !S_ISREG(info.st_mode)) continue;
        const int fd = open(path, O_WRONLY | O_APPEND | O_CLOEXEC);
        if (fd >= 0) {
            close(fd);
            continue;
        }
        return path;
    }
    return {};
}

TEST(HostileLog, ASwitchFileThatCannotBeAppendedToEndsWithStatusOne) {
    const std::string target = UnwritableRegularFile();
    if (target.empty()) GTEST_SKIP() << "no regular file here that cannot be opened for appending";
    NtpResponder server;
    const Outcome run =
        Launch(1, 0, server.Peer(),
               {.prepare = [&](const std::string& folder) { fs::create_symlink(target, folder + "/ntpdebug.txt"); }});
    ExpectFailedAppend(run);
}

TEST(HostileLog, ALogSwappedForAFifoFailsItsNextAppendAtOnce) {
    if (UnderWine()) GTEST_SKIP() << "Windows keeps no FIFO in a folder, and Wine's own open of one may wait";
    NtpResponder server({.kind = ReplyKind::Silent});
    std::atomic<bool> swapped{false};
    const auto swap = [](const std::string& log) { return fs::remove(log) && ::mkfifo(log.c_str(), 0644) == 0; };
    const Outcome run = Launch(2, 0, server.Peer(), {.logging = true, .during = OnceSending(swap, swapped)});
    ASSERT_TRUE(swapped);
    ExpectFailedAppend(run);
}

TEST(HostileLog, AtTheFileSizeLimitOnlyWholeEntriesStayAndTheRunEndsWithStatusOne) {
    if (UnderWine()) GTEST_SKIP() << "a Unix file-size limit, which Windows lacks: SIGXFSZ ends Wine itself";
    // Past the limit already; with room for part of the start entry; the same with standard
    // error's reader gone. dash counts the limit in 512-byte blocks.
    for (const auto& [size, errorReaderGone] : {std::pair{4096, false}, std::pair{1000, false}, std::pair{1000, true}}) {
        SCOPED_TRACE(::testing::Message() << size << " bytes" << (errorReaderGone ? ", standard error gone" : ""));
        NtpResponder server;
        std::vector<std::string> via{"/bin/sh", "-c", "ulimit -f 2 && exec \"$0\" \"$@\""};
        if (errorReaderGone) std::ranges::copy(WithReaderGone("stderr"), std::back_inserter(via));
        const std::string kept(size, '.');
        const Outcome run = Launch(1, 0, server.Peer(), {.logging = true, .via = via, .prepare = [&](const std::string& folder) {
                                                             std::ofstream(folder + "/ntpdebug.txt") << kept;
                                                         }});
        ExpectFailedAppend(run, !errorReaderGone);
        EXPECT_TRUE(run.lines.empty() && run.tail == kept) << "part of an entry was left: " << Dump(run);
        EXPECT_EQ(server.requests(), 0) << "the run went on without its log";
    }
}

}  // namespace
}  // namespace pelldor::testing
