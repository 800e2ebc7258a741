#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <regex>
#include <thread>
#include <string>
#include <string_view>
#include <vector>

#include "support/chronyd.h"
#include "support/probe_run.h"
#include "support/process.h"
#include "support/responder.h"
#include "support/server_pool.h"

// `pelldor check` as a monitoring system runs it: one status line, its exit status, and a
// run that ends as soon as the verdict is known.
namespace pelldor::testing {
namespace {

using namespace std::chrono;
using namespace std::chrono_literals;

struct Case {
    const char* name;
    ResponderOptions server;
    std::vector<std::string> options;
    int status;
    // The whole status line, "{port}" standing for the responder's.
    std::string line;
    // A silent server is asked again every second until the timeout, which the run waits
    // out; the rest end as soon as the verdict is known, long before the default's 10 s.
    int fewestRequests = 1;
    int mostRequests = 1;
    milliseconds waits{0};
};

void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

class CheckMode : public ::testing::TestWithParam<Case> {};

ProbeRun Check(std::vector<std::string> args, const ProbeSetup& setup = {}) {
    args.insert(args.begin(), "check");
    return RunProbe(ProbeBinary(), args, setup);
}

// The numbers of the status line vary from run to run; its shape does not.
std::string Shape(std::string line) {
    static const std::regex number(R"([+-]?\d+\.\d{6})");
    return std::regex_replace(line, number, "N");
}

TEST_P(CheckMode, OneStatusLineAndItsExitStatus) {
    const Case& c = GetParam();
    NtpResponder server(c.server);
    std::vector<std::string> args{"-H", c.server.ipv6 ? "::1" : "127.0.0.1", "-p", std::to_string(server.port())};
    args.insert(args.end(), c.options.begin(), c.options.end());
    const ProbeRun run = Check(args);
    ASSERT_TRUE(run.result.exited) << Dump(run);
    EXPECT_EQ(run.result.exitStatus, c.status) << run.result.out;
    const std::string line = std::regex_replace(c.line, std::regex(R"(\{port\})"), std::to_string(server.port()));
    EXPECT_EQ(Shape(run.result.out), line);
    EXPECT_EQ(run.result.err, "");
    EXPECT_FALSE(run.logExists) << "the plugin never writes the log";
    EXPECT_GE(server.requests(), c.fewestRequests);
    EXPECT_LE(server.requests(), c.mostRequests);
    ExpectElapsed(run, c.waits, c.waits);
}

INSTANTIATE_TEST_SUITE_P(
    Responder, CheckMode,
    ::testing::Values(
        Case{"Level", {}, {}, 0, "NTP OK - offset N s from 127.0.0.1:{port}|offset=Ns;60;120; stratum=2 delay=Ns root_distance=Ns reference_age=Ns\n"},
        Case{"Ahead2s", {.offset = 2s}, {"-w", "1", "-c", "5"}, 1,
             "NTP WARNING - offset N s from 127.0.0.1:{port}|offset=Ns;1;5; stratum=2 delay=Ns root_distance=Ns reference_age=Ns\n"},
        Case{"Behind8s", {.offset = -8s}, {"-w", "1", "-c", "5"}, 2,
             "NTP CRITICAL - offset N s from 127.0.0.1:{port}|offset=Ns;1;5; stratum=2 delay=Ns root_distance=Ns reference_age=Ns\n"},
        // Half an era either way puts the same bytes on the wire: read as half an era off,
        // never as level.
        Case{"HalfAnEraOff", {.offset = -2'147'483'648s}, {}, 2,
             "NTP CRITICAL - offset N s from 127.0.0.1:{port}|offset=Ns;60;120; stratum=2 delay=Ns root_distance=Ns reference_age=Ns\n"},
        // Asked again while the run waits: twice at least, and no more than once a second.
        Case{"Silent", {.kind = ReplyKind::Silent}, {"-t", "2.5"}, 2,
             "NTP CRITICAL - no answer from 127.0.0.1:{port} within 2.5 s\n", 2, 3, 2500ms},
        Case{"KissOfDeath", {.kind = ReplyKind::KissOfDeath}, {}, 1,
             "NTP WARNING - 127.0.0.1:{port}: asked too often (kiss code RATE)\n"},
        Case{"Ipv6", {.ipv6 = true}, {"-6"}, 0,
             "NTP OK - offset N s from [::1]:{port}|offset=Ns;60;120; stratum=2 delay=Ns root_distance=Ns reference_age=Ns\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CheckModeRun, ANameThatDoesNotResolveIsUnknown) {
    if (!CanIsolate()) GTEST_SKIP() << "no network namespace for a name lookup";
    // In a network namespace of its own, so the query cannot leave this machine.
    const ProbeRun run = Check({"-H", "no-such-host.invalid"}, {.via = {UnshareTool(), "--net", "--"}});
    EXPECT_EQ(run.result.exitStatus, 3) << Dump(run);
    EXPECT_TRUE(run.result.out.starts_with("NTP UNKNOWN - no-such-host.invalid: Host not found: ")) << run.result.out;
    EXPECT_EQ(run.result.out.find('\n'), run.result.out.size() - 1);
}

// chronyd keeps the machine's own clock, so the offset is only the exchange's asymmetry, at
// most half its round trip: milliseconds, and never seconds, even under Wine on a loaded
// machine.
TEST(CheckModeRun, AgainstChronydOnTheSameClockItIsOk) {
    const auto lease = ServerPool<ChronydServer>::Get(std::string("0/sync"), ChronydOptions{});
    if (lease.unavailable) GTEST_SKIP() << lease.why;
    ASSERT_NE(lease.server, nullptr) << lease.why;
    const ProbeRun run = Check({"-H", "127.0.0.1", "-p", std::to_string(lease.server->port()), "-w", "5", "-v"});
    EXPECT_EQ(run.result.exitStatus, 0) << Dump(run) << run.result.out;
    // The detail follows the status line, on the same stream: an engine that keeps only
    // the first line, or merges the streams, still reads the status.
    EXPECT_TRUE(run.result.out.starts_with("NTP OK - offset ")) << run.result.out;
    EXPECT_NE(run.result.out.find("\n2"), std::string::npos) << run.result.out;
    EXPECT_NE(run.result.out.find(" --> Sending Query to 127.0.0.1 on port "), std::string::npos) << run.result.out;
    EXPECT_NE(run.result.out.find(" --- Server Time: "), std::string::npos) << run.result.out;
    EXPECT_EQ(run.result.err, "");
}

// Whatever kept the plugin from checking, it says UNKNOWN, or at least never waits on past
// its time: a stop from outside, no descriptors left, a reader that does not read.
TEST(CheckModeRun, CouldNotCheckIsUnknownAndNeverWaitsPastItsTime) {
    if (UnderWine()) GTEST_SKIP() << "Unix signals, descriptor limits and pipes; a close request is the Windows counterpart";
    NtpResponder silent({.kind = ReplyKind::Silent});
    const std::vector<std::string> args{"check", "-H", "127.0.0.1:" + std::to_string(silent.port()), "-t", "3"};
    // A pipe that is full before the plugin writes, and that nobody reads.
    const std::string fullPipe =
        "import os, subprocess, sys\n"
        "r, w = os.pipe(); os.set_blocking(w, False)\n"
        "try:\n    os.write(w, b'.' * (1 << 20))\nexcept BlockingIOError: pass\n"
        "os.set_blocking(w, True)\n"
        "sys.exit(subprocess.run(sys.argv[1:], stdout=w).returncode)\n";
    struct Case {
        const char* name;
        std::vector<std::string> via;
        int status;
        std::string out;
        bool stop = false;
    };
    const Case cases[] = {
        {"stopped by a signal", {}, 3, "NTP UNKNOWN - stopped by SIGTERM\n", true},
        {"no descriptors left", {"/bin/sh", "-c", "ulimit -n 4 && exec \"$0\" \"$@\""}, 3,
         "NTP UNKNOWN - 127.0.0.1:{port}: Network error: Out of sockets, memory or threads\n"},
        {"a full pipe", {"/usr/bin/python3", "-c", fullPipe}, 2, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
#ifdef __SANITIZE_ADDRESS__
        // UndefinedBehaviorSanitizer tests memory through a pipe of its own when it checks a
        // dynamic type: four descriptors leave it none, and it reports a fault that is not
        // there. The optimised build runs this row.
        if (std::string_view(c.name) == "no descriptors left" && ProbeBinary() == BuiltBinary()) continue;
#endif
        const int before = silent.requests();
        ProbeSetup setup{.killAfter = 3s + 2s + kSlack, .via = c.via};
        if (c.stop) {
            setup.during = [&](const std::string& log, const std::atomic<bool>& over) {
                for (int i = 0; i < 1000 && !over && silent.requests() == before; ++i) std::this_thread::sleep_for(5ms);
                const std::string copy = log.substr(0, log.rfind('/') + 1) + "pelldor";
                (void)RunProgram("/usr/bin/pkill", {"-TERM", "-f", copy}, 5s);
            };
        }
        const ProbeRun run = RunProbe(ProbeBinary(), args, setup);
        EXPECT_EQ(run.result.exitStatus, c.status) << Dump(run);
        EXPECT_EQ(run.result.out, std::regex_replace(c.out, std::regex(R"(\{port\})"), std::to_string(silent.port())));
        // The write gives up after a second: the run ends well before it is killed.
        EXPECT_FALSE(run.result.killed) << Dump(run);
    }
}

// Three servers at once: a silent one costs the run its timeout once, not once each; one
// whose clock is off is named; and the metrics pass Prometheus' own parser.
TEST(CheckModeRun, ThreeServersAtOnce) {
    NtpResponder a, b, off({.offset = 30s}), silent({.kind = ReplyKind::Silent});
    const auto with = [&](const NtpResponder& third, std::vector<std::string> more) {
        std::vector<std::string> args{"-H", a.Peer(), "-H", b.Peer(), "-H", third.Peer()};
        args.insert(args.end(), more.begin(), more.end());
        return Check(args);
    };
    ProbeRun run = with(silent, {"-t", "2"});
    EXPECT_EQ(run.result.exitStatus, 1) << Dump(run);
    EXPECT_TRUE(Shape(run.result.out).starts_with("NTP WARNING - no answer from " + silent.Peer() +
                                                  " within 2 s; combined offset N s; 2 of 3 servers agree|"))
        << run.result.out;
    ExpectElapsed(run, 2s, 2s);
    EXPECT_EQ(a.requests(), 1);

    run = with(off, {});
    EXPECT_EQ(run.result.exitStatus, 1) << Dump(run);
    EXPECT_TRUE(Shape(run.result.out).starts_with("NTP WARNING - " + off.Peer() + ": a falseticker at N s, outside what"))
        << run.result.out;

    run = with(off, {"--output-format=openmetrics"});
    EXPECT_EQ(run.result.exitStatus, 1) << Dump(run);
    const std::string parse =
        "import sys\nfrom prometheus_client.openmetrics.parser import text_string_to_metric_families as parse\n"
        "for family in parse(sys.argv[1]):\n"
        "    for s in family.samples: print(s.name, s.labels.get('server', '-'), '%g' % s.value)\n";
    const RunResult parsed = RunProgram("/usr/bin/python3", {"-c", parse, run.result.out}, 10s);
    ASSERT_EQ(parsed.exitStatus, 0) << parsed.err << run.result.out;
    for (const std::string& sample : std::vector<std::string>{"ntp_falseticker " + off.Peer() + " 1", "ntp_falseticker " + a.Peer() + " 0",
                                     "ntp_server_reachable " + b.Peer() + " 1", "ntp_stratum " + a.Peer() + " 2",
                                     "ntp_check_state - 1"}) {
        EXPECT_NE(parsed.out.find(sample + "\n"), std::string::npos) << sample << "\n" << parsed.out;
    }
}

// Run by a name like the plugins' own (the check_pelldor link in their folder), the
// program is the plugin, with no word "check" first.
TEST(CheckModeRun, CheckPelldorIsThePlugin) {
    if (UnderWine()) GTEST_SKIP() << "a program's name on Windows is its file's, not one a link gives it";
    NtpResponder server;
    const ProbeRun run = RunProbe(ProbeBinary(), {"-H", server.Peer(), "-w", "5"},
                                  {.via = {"/bin/bash", "-c", "exec -a check_pelldor \"$0\" \"$@\""}});
    EXPECT_EQ(run.result.exitStatus, 0) << Dump(run);
    EXPECT_TRUE(run.result.out.starts_with("NTP OK - offset ")) << run.result.out;
}

}  // namespace
}  // namespace pelldor::testing
