#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "support/probe_run.h"
#include "support/process.h"
#include "support/responder.h"

namespace pelldor::testing {
namespace {

using namespace std::chrono;
using namespace std::chrono_literals;

class PelldorRun : public ::testing::Test {
protected:
    // A zone well away from UTC, and off by a half hour, that the program inherits: local
    // and universal time mixed up anywhere would show in the log and the verdict.
    PelldorRun() {
        setenv("TZ", "PELL-5:30", 1);
        tzset();
    }

    bool Logging() const { return logging_; }

    ProbeRun Launch(const std::vector<std::string>& args) const {
        return RunProbe(ProbeBinary(), args, {.logging = Logging()});
    }

    // A silent-looking server: each attempt ends at its deadline; the client's own timeout
    // notice may come in time, later, or not at all, depending on where in the second the
    // attempt began.
    static void ExpectTimedOutLog(const ProbeRun& run, const std::string& tail, const NtpResponder& server,
                                  int attempts) {
        ExpectLog(run, FailedLog(tail, "127.0.0.1", std::to_string(server.port()), "", attempts),
                  {"Error 5: No answer within 1 s (netClock_Error)", attempts});
    }

    // One attempt ending at its deadline: between one and two seconds with a one-second
    // timeout, plus the logging pauses.
    void ExpectTimedOutElapsed(const ProbeRun& run, int attempts) const {
        const milliseconds logged = Logging() ? 300ms * attempts + 500ms : 0ms;
        ExpectElapsed(run, 1000ms * attempts + logged, 2000ms * attempts + logged + 300ms * attempts);
    }

    bool logging_ = false;
};

class Pelldor : public PelldorRun, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override { logging_ = GetParam(); }
};

struct Shift {
    milliseconds offset;
    int status;
};

void PrintTo(const Shift& s, std::ostream* out) { *out << "offset " << s.offset.count() << " ms"; }

class PelldorShift : public PelldorRun, public ::testing::WithParamInterface<std::tuple<Shift, bool>> {
protected:
    void SetUp() override { logging_ = std::get<1>(GetParam()); }
};

TEST_P(PelldorShift, ServerTimeDecidesTheVerdict) {
    const Shift shift = std::get<0>(GetParam());
    NtpResponder server({.offset = shift.offset});
    const ProbeRun run = Launch({"1", "0", server.Peer()});
    ExpectEnd(run, shift.status);
    EXPECT_EQ(server.requests(), 1);
    ExpectLog(run, AnsweredLog("1 0 " + server.Peer(), "127.0.0.1", std::to_string(server.port()), shift.status));
    if (logging_) {
        // Both sides are cut to whole seconds, so a fractional shift may show one more.
        const long long lag = LoggedLag(run);
        const long long whole = duration_cast<seconds>(shift.offset).count();
        const bool fractional = shift.offset % 1s != 0ms;
        EXPECT_GE(lag, whole - 1 - (fractional && shift.offset < 0ms ? 1 : 0)) << Dump(run);
        EXPECT_LE(lag, whole + 1 + (fractional && shift.offset > 0ms ? 1 : 0)) << Dump(run);
        ExpectElapsed(run, 800ms, 900ms);
    } else {
        ExpectElapsed(run, 0ms, 300ms);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Offsets, PelldorShift,
    ::testing::Combine(::testing::Values(Shift{0ms, 100}, Shift{-2000ms, 100}, Shift{5000ms, 100},
                                         Shift{-2500ms, 100}, Shift{500ms, 100}, Shift{-5000ms, 0},
                                         Shift{-4500ms, 0}, Shift{-3'600'000ms, 0}),
                       ::testing::Bool()),
    [](const auto& info) {
        const long long ms = std::get<0>(info.param).offset.count();
        return (ms < 0 ? "Minus" : "Plus") + std::to_string(ms < 0 ? -ms : ms) + "ms" +
               (std::get<1>(info.param) ? "WithLog" : "WithoutLog");
    });

TEST_P(Pelldor, SendsAClientRequestWithAFreshCookieEachAttempt) {
    NtpResponder server({.kind = ReplyKind::Silent});
    const std::string tail = "1 1 " + server.Peer();
    const ProbeRun run = Launch({"1", "1", server.Peer()});
    ExpectEnd(run, 0);
    ExpectTimedOutElapsed(run, 2);
    ExpectTimedOutLog(run, tail, server, 2);

    const auto requests = server.received();
    ASSERT_EQ(requests.size(), 2u);
    for (const auto& request : requests) {
        ASSERT_EQ(request.size(), 48u);
        EXPECT_EQ(request[0] & 7, 3) << "mode";
        EXPECT_GE((request[0] >> 3) & 7, 1) << "version";
        EXPECT_LE((request[0] >> 3) & 7, 4) << "version";
        EXPECT_NE(std::vector(request.begin() + 40, request.end()), std::vector<std::uint8_t>(8, 0));
    }
    EXPECT_NE(std::vector(requests[0].begin() + 40, requests[0].end()),
              std::vector(requests[1].begin() + 40, requests[1].end()));
}

TEST_P(Pelldor, RepliesThatAreNotTheAnswerAreWaitedPast) {
    struct Case {
        const char* name;
        ResponderOptions options;
    };
    for (const Case& c : {Case{"wrong origin", {.kind = ReplyKind::WrongOrigin}},
                          Case{"47 bytes", {.kind = ReplyKind::Short, .shortLength = 47}},
                          Case{"other source port", {.kind = ReplyKind::OtherSourcePort}}}) {
        SCOPED_TRACE(c.name);
        NtpResponder server(c.options);
        const ProbeRun run = Launch({"1", "0", server.Peer()});
        ExpectEnd(run, 0);
        EXPECT_EQ(server.requests(), 1);
        ExpectTimedOutElapsed(run, 1);
        ExpectTimedOutLog(run, "1 0 " + server.Peer(), server, 1);
    }
}

TEST_P(Pelldor, NoiseAroundTheAnswerDoesNotMatter) {
    struct Case {
        const char* name;
        ResponderOptions options;
        milliseconds least;
    };
    for (const Case& c : {Case{"garbage first", {.garbageBefore = 5}, 0ms},
                          Case{"three copies", {.copies = 3}, 0ms},
                          Case{"late but in time", {.delay = 1500ms}, 1500ms}}) {
        SCOPED_TRACE(c.name);
        NtpResponder server(c.options);
        // Seconds of room between the late answer and the timeout, for a loaded machine.
        const ProbeRun run = Launch({"4", "0", server.Peer()});
        ExpectEnd(run, 100);
        EXPECT_EQ(server.requests(), 1);
        ExpectLog(run, AnsweredLog("4 0 " + server.Peer(), "127.0.0.1", std::to_string(server.port()), 100));
        const milliseconds logged = Logging() ? 800ms : 0ms;
        ExpectElapsed(run, c.least + logged, c.least + logged + 300ms);
    }
}

TEST_P(Pelldor, ServerRefusalsAreReportedAndGiveNoTime) {
    struct Case {
        ResponderOptions options;
        std::string notice;
    };
    for (const Case& c : {Case{{.kind = ReplyKind::KissOfDeath}, "Error 6: Kiss-o'-death from server: RATE"},
                          Case{{.kind = ReplyKind::Leap3}, "Error 7: Server not synchronised (leap indicator 3)"},
                          Case{{.kind = ReplyKind::Stratum16}, "Error 7: Server not synchronised (stratum 16)"},
                          Case{{.kind = ReplyKind::ZeroTransmit}, "Error 8: Invalid reply: zero transmit timestamp"}}) {
        SCOPED_TRACE(c.notice);
        NtpResponder server(c.options);
        const std::string port = std::to_string(server.port());
        const std::string timeout = std::to_string(kPatientTimeout);
        const ProbeRun run = Launch({timeout, "0", server.Peer()});
        ExpectEnd(run, 0);
        EXPECT_EQ(server.requests(), 1);
        ExpectQuickFailure(run);
        ExpectLog(run, FailedLog(timeout + " 0 " + server.Peer(), "127.0.0.1", port, c.notice));
    }
}

TEST_P(Pelldor, AClosedPortFailsAtOnce) {
    const std::string port = std::to_string(ClosedPort());
    if (UnderWine()) {
        // Wine does not hand an ICMP port unreachable on to the program: the port looks silent.
        const ProbeRun run = Launch({"1", "0", "127.0.0.1:" + port});
        ExpectEnd(run, 0);
        ExpectTimedOutElapsed(run, 1);
        ExpectLog(run, FailedLog("1 0 127.0.0.1:" + port, "127.0.0.1", port, ""),
                  {"Error 5: No answer within 1 s (netClock_Error)", 1});
        return;
    }
    const std::string timeout = std::to_string(kPatientTimeout);
    const ProbeRun run = Launch({timeout, "0", "127.0.0.1:" + port});
    ExpectEnd(run, 0);
    ExpectQuickFailure(run);
    ExpectLog(run, FailedLog(timeout + " 0 127.0.0.1:" + port, "127.0.0.1", port,
                             "Error 4: Network error: Connection refused"));
}

TEST_P(Pelldor, PortsOutsideTheirRangeAreRejectedOnEveryAttempt) {
    for (const std::string port : {"0", "65536"}) {
        SCOPED_TRACE(port);
        const ProbeRun run = Launch({"5", "2", "127.0.0.1:" + port});
        ExpectEnd(run, 0);
        ExpectQuickFailure(run, 3);
        ExpectLog(run, FailedLog("5 2 127.0.0.1:" + port, "127.0.0.1", port,
                                 "Error 2: Invalid port " + port + " (must be 1 to 65535)", 3));
    }
}

TEST_P(Pelldor, AnEmptyHostIsNoHost) {
    const std::string timeout = std::to_string(kPatientTimeout);
    const ProbeRun run = Launch({timeout, "0", ":123"});
    ExpectEnd(run, 0);
    ExpectQuickFailure(run);
    ExpectLog(run, FailedLog(timeout + " 0 :123", "", "123", "Error 1: No host given"));
}

TEST_P(Pelldor, AHostWithABlankIsQuotedInTheLogAndNotFound) {
    const std::string port = std::to_string(ClosedPort());
    const ProbeRun run = Launch({"1", "0", "no such host:" + port});
    ExpectEnd(run, 0);
    ExpectLog(run,
              FailedLog("1 0 \"no such host:" + port + "\"", "no such host", port, "Error 3: Host not found: {any}"));
}

TEST_P(Pelldor, ANamedHostIsLookedUp) {
    NtpResponder server;
    const std::string port = std::to_string(server.port());
    const ProbeRun run = Launch({"5", "0", "localhost:" + port});
    ExpectEnd(run, 100);
    EXPECT_EQ(server.requests(), 1);
    ExpectLog(run, AnsweredLog("5 0 localhost:" + port, "localhost", port, 100));
}

TEST_P(Pelldor, AnIpv6LiteralIsGivenInBracketsAndLoggedWithout) {
    std::optional<NtpResponder> server;
    try {
        server.emplace(ResponderOptions{.ipv6 = true});
    } catch (const std::exception& e) {
        GTEST_SKIP() << "no IPv6 loopback here: " << e.what();
    }
    const std::string port = std::to_string(server->port());
    const ProbeRun run = Launch({"5", "0", server->Peer()});
    ExpectEnd(run, 100);
    EXPECT_EQ(server->requests(), 1);
    ExpectLog(run, AnsweredLog("5 0 [::1]:" + port, "::1", port, 100));
}

TEST_P(Pelldor, VersionAndHelpAreAnsweredAtOnceWithoutARun) {
    for (const std::string flag : {"--version", "--help"}) {
        SCOPED_TRACE(flag);
        const ProbeRun run = Launch({flag});
        ASSERT_TRUE(run.result.exited) << Dump(run);
        EXPECT_EQ(run.result.exitStatus, 0);
        EXPECT_TRUE(run.result.out.starts_with(flag == "--version" ? "pelldor " : "Usage: pelldor ")) << run.result.out;
        EXPECT_EQ(run.result.err, "");
        // The switch file stays as it was: no start entry, so no run began.
        EXPECT_TRUE(run.lines.empty()) << Dump(run);
    }
    const ProbeRun gone = RunProbe(ProbeBinary(), {"--help"}, {.via = WithReaderGone("stdout")});
    EXPECT_TRUE(gone.result.exited && gone.result.exitStatus == 0) << "into a pipe without a reader: " << Dump(gone);
}

TEST_P(Pelldor, WithoutArgumentsItWaitsASecondAndEnds) {
    const ProbeRun run = Launch({});
    ExpectEnd(run, 0);
    ExpectElapsed(run, 1000ms, 1100ms);
    ExpectLog(run, {{""}, {" Start"}, {" CommandLine = "}});
}

TEST_P(Pelldor, ABadNumberIsAnArgumentError) {
    const ProbeRun run = Launch({"x", "2", "127.0.0.1:123"});
    ExpectEnd(run, 0);
    if (Logging()) {
        // The short way out: its own pause, not the second that a run without a server
        // waits (told apart on the virtual clock by the unit tests).
        ExpectElapsed(run, 500ms, 500ms);
    } else {
        ExpectElapsed(run, 1000ms, 1100ms);
    }
    ExpectLog(run, {{""}, {" Start"}, {" CommandLine = x 2 127.0.0.1:123"}, {" Argument Error"}});
}

TEST(PelldorQuiet, AnEmptyDatagramIsNoAnswer) {
    NtpResponder server({.kind = ReplyKind::Short, .shortLength = 0});
    const ProbeRun run = RunProbe(ProbeBinary(), {"1", "0", server.Peer()});
    EXPECT_TRUE(run.result.exited);
    EXPECT_EQ(run.result.exitStatus, 0);
    EXPECT_EQ(server.requests(), 1);
    EXPECT_GE(run.result.elapsed, 1000ms);
    EXPECT_FALSE(run.logExists);
}

INSTANTIATE_TEST_SUITE_P(Log, Pelldor, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "WithLog" : "WithoutLog"; });

}  // namespace
}  // namespace pelldor::testing
