#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <fstream>
#include <tuple>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "support/process.h"
#include "support/responder.h"

namespace pelldor::testing {
namespace {

using namespace std::chrono;
using namespace std::chrono_literals;

constexpr int kTimestampLength = 19;
const std::regex kTimestamp(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)");
// Generous for a loaded machine and a sanitizer build; a hung run is still caught.
constexpr milliseconds kSlack = 800ms;

std::string LocalNowText() {
    const time_t now = system_clock::to_time_t(system_clock::now());
    tm fields{};
    localtime_r(&now, &fields);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &fields);
    return text;
}

// Seconds since the epoch of the naive calendar, for differences between two timestamps.
long long SerialSeconds(const std::string& timestamp) {
    tm fields{};
    if (strptime(timestamp.c_str(), "%Y-%m-%d %H:%M:%S", &fields) == nullptr) return 0;
    return static_cast<long long>(timegm(&fields));
}

std::string Peer(const NtpResponder& server) { return "127.0.0.1:" + std::to_string(server.port()); }

std::uint16_t ClosedPort() {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

// Expected log lines are the text after the timestamp ("" for the empty opening line of an
// entry), in which "{ts}" stands for any timestamp and "{any}" for any text.

// A line that may turn up anywhere: the client's notice for a query the run has already
// given up on arrives whenever events are next delivered, even after the return value.
struct Stray {
    std::string text;
    int most = 0;
};

std::regex Pattern(const std::string& text) {
    static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
    std::string escaped = std::regex_replace(text, special, R"(\$&)");
    for (const auto& [placeholder, meaning] :
         {std::pair<std::string, std::string>{R"(\{ts\})", R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)"},
          std::pair<std::string, std::string>{R"(\{any\})", ".+"}}) {
        for (std::size_t at; (at = escaped.find(placeholder)) != std::string::npos;) {
            escaped.replace(at, placeholder.size(), meaning);
        }
    }
    return std::regex(escaped);
}

struct Outcome {
    RunResult result;
    bool logging = false;
    bool logExists = false;
    std::string logText;
    std::vector<std::string> lines;  // without their CR LF
    std::string before;              // local time just before and after the run
    std::string after;
};

std::string Dump(const Outcome& run) {
    std::string text = "exit " + std::to_string(run.result.exitStatus) + " after " +
                       std::to_string(run.result.elapsed.count()) + " ms; log:\n";
    for (const auto& line : run.lines) text += "  |" + line + "\n";
    return text;
}

class PelldorRun : public ::testing::Test {
protected:
    // A zone well away from UTC, and off by a half hour, that the program inherits: local
    // and universal time mixed up anywhere would show in the log and the verdict.
    PelldorRun() {
        setenv("TZ", "PELL-5:30", 1);
        tzset();
    }

    bool Logging() const { return logging_; }

    Outcome Launch(const std::vector<std::string>& args, milliseconds killAfter = 15s) {
        const TempDir dir;
        const std::string binary = CopyExecutable(PELLDOR_BINARY, dir.path());
        const std::string log = dir.File("ntpdebug.txt");
        if (Logging()) std::ofstream(log, std::ios::binary).flush();

        Outcome run;
        run.logging = Logging();
        run.before = LocalNowText();
        run.result = RunProgram(binary, args, killAfter);
        run.after = LocalNowText();
        run.logExists = std::filesystem::exists(log);
        run.logText = ReadWholeFile(log);

        std::string_view rest = run.logText;
        for (std::size_t end; (end = rest.find("\r\n")) != std::string_view::npos; rest.remove_prefix(end + 2)) {
            run.lines.emplace_back(rest.substr(0, end));
        }
        EXPECT_EQ(rest, "") << "the log does not end with CR LF";
        return run;
    }

    // Exit status and a quiet run: nothing on either stream, no crash, no log file made.
    static void ExpectEnd(const Outcome& run, int status) {
        ASSERT_TRUE(run.result.started) << run.result.startError;
        EXPECT_FALSE(run.result.killed) << Dump(run);
        EXPECT_TRUE(run.result.exited) << "signal " << run.result.signal;
        EXPECT_EQ(run.result.exitStatus, status) << Dump(run);
        EXPECT_EQ(run.result.out, "");
        EXPECT_EQ(run.result.err, "");
        EXPECT_EQ(run.logExists, run.logging);
    }

    static void ExpectElapsed(const Outcome& run, milliseconds least, milliseconds most) {
        EXPECT_GE(run.result.elapsed, least) << Dump(run);
        EXPECT_LE(run.result.elapsed, most + kSlack) << Dump(run);
    }

    // Every timestamp lies within the run and never goes back. Stray lines (at most
    // stray.most of them) are left out; the others must match the expected texts in order.
    // Ignored when the run does not log.
    static void ExpectLog(const Outcome& run, const std::vector<std::string>& expected, const Stray& stray = {}) {
        if (!run.logging) return;
        std::vector<std::string> texts;
        std::string previous = run.before;
        int strays = 0;
        for (std::size_t at = 0; at < run.lines.size(); ++at) {
            const std::string& line = run.lines[at];
            if (line.empty()) {
                texts.emplace_back();
                continue;
            }
            if (!std::regex_search(line, kTimestamp)) {
                ADD_FAILURE() << "line " << at << " has no timestamp\n" << Dump(run);
                return;
            }
            const std::string stamp = line.substr(0, kTimestampLength);
            EXPECT_GE(stamp, previous) << "line " << at << "\n" << Dump(run);
            EXPECT_LE(stamp, run.after) << "line " << at << "\n" << Dump(run);
            previous = stamp;
            const std::string text = line.substr(kTimestampLength);
            if (!stray.text.empty() && std::regex_match(text, Pattern(stray.text))) {
                ++strays;
            } else {
                texts.push_back(text);
            }
        }
        EXPECT_LE(strays, stray.most) << Dump(run);
        ASSERT_EQ(texts.size(), expected.size()) << Dump(run);
        for (std::size_t i = 0; i < texts.size(); ++i) {
            if (expected[i].empty()) {
                EXPECT_EQ(texts[i], "") << "line " << i << "\n" << Dump(run);
            } else {
                EXPECT_TRUE(std::regex_match(texts[i], Pattern(expected[i])))
                    << "line " << i << " should be <ts>" << expected[i] << "\n" << Dump(run);
            }
        }
    }

    // The lines of a run that asked one server and got an error notice instead of a time.
    static std::vector<std::string> FailedQuery(const std::string& tail, const std::string& host,
                                           const std::string& port, const std::string& error, int attempts = 1) {
        std::vector<std::string> lines{"", " Start", " CommandLine = " + tail};
        for (int i = 0; i < attempts; ++i) {
            lines.push_back({" --> Sending Query to " + host + " on port " + port});
            lines.push_back({error});
        }
        lines.push_back({" --- Server Time: n/a"});
        lines.push_back({" --- Local  Time: {ts}"});
        lines.push_back({" Return Value: 0"});
        return lines;
    }

    // A silent-looking server: each attempt ends at its deadline; the client's own timeout
    // notice may come in time, later, or not at all, depending on where in the second the
    // attempt began.
    static void ExpectTimedOutLog(const Outcome& run, const std::string& tail, const NtpResponder& server,
                                  int attempts) {
        std::vector<std::string> lines{"", " Start", " CommandLine = " + tail};
        for (int i = 0; i < attempts; ++i) {
            lines.push_back(" --> Sending Query to 127.0.0.1 on port " + std::to_string(server.port()));
        }
        lines.push_back(" --- Server Time: n/a");
        lines.push_back(" --- Local  Time: {ts}");
        lines.push_back(" Return Value: 0");
        ExpectLog(run, lines, {"Error 5: No answer within 1 s (netClock_Error)", attempts});
    }

    // One attempt ending at its deadline: between one and two seconds with a one-second
    // timeout, plus the logging pauses.
    void ExpectTimedOutElapsed(const Outcome& run, int attempts) const {
        const milliseconds logged = Logging() ? 300ms * attempts + 500ms : 0ms;
        ExpectElapsed(run, 1000ms * attempts + logged, 2000ms * attempts + logged + 300ms * attempts);
    }

    // Over without waiting for a timeout: only the logging pauses take time.
    void ExpectQuickFailure(const Outcome& run, int attempts = 1) const {
        if (Logging()) {
            // The sending and error pauses of each attempt, then the closing pause.
            ExpectElapsed(run, 600ms * attempts + 500ms, 700ms * attempts + 600ms);
        } else {
            EXPECT_LT(run.result.elapsed, 900ms) << Dump(run);
        }
    }

    bool logging_ = false;
};

class Pelldor : public PelldorRun, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override { logging_ = GetParam(); }
};

// Server time minus local time as the log shows them, in whole seconds.
long long LoggedLag(const Outcome& run) {
    std::string server;
    std::string local;
    for (const auto& line : run.lines) {
        if (line.size() < kTimestampLength) continue;
        const std::string text = line.substr(kTimestampLength);
        if (text.rfind(" --- Server Time: ", 0) == 0) server = text.substr(18);
        if (text.rfind(" --- Local  Time: ", 0) == 0) local = text.substr(18);
    }
    EXPECT_FALSE(server.empty() || local.empty()) << Dump(run);
    return SerialSeconds(server) - SerialSeconds(local);
}

struct Shift {
    milliseconds offset;
    int status;
};

class PelldorShift : public PelldorRun, public ::testing::WithParamInterface<std::tuple<Shift, bool>> {
protected:
    void SetUp() override { logging_ = std::get<1>(GetParam()); }
};

TEST_P(PelldorShift, ServerTimeDecidesTheVerdict) {
    const Shift shift = std::get<0>(GetParam());
    NtpResponder server({.offset = shift.offset});
    const Outcome run = Launch({"1", "0", Peer(server)});
    ExpectEnd(run, shift.status);
    EXPECT_EQ(server.requests(), 1);
    ExpectLog(run, {{""},
                    {" Start"},
                    {" CommandLine = 1 0 " + Peer(server)},
                    {" --> Sending Query to 127.0.0.1 on port " + std::to_string(server.port())},
                    {" --- Server Time: {ts}"},
                    {" --- Local  Time: {ts}"},
                    {" Return Value: " + std::to_string(shift.status)}});
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
    const std::string tail = "1 1 " + Peer(server);
    const Outcome run = Launch({"1", "1", Peer(server)});
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
        const Outcome run = Launch({"1", "0", Peer(server)});
        ExpectEnd(run, 0);
        EXPECT_EQ(server.requests(), 1);
        ExpectTimedOutElapsed(run, 1);
        ExpectTimedOutLog(run, "1 0 " + Peer(server), server, 1);
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
                          Case{"late but in time", {.delay = 600ms}, 600ms}}) {
        SCOPED_TRACE(c.name);
        NtpResponder server(c.options);
        const Outcome run = Launch({"1", "0", Peer(server)});
        ExpectEnd(run, 100);
        EXPECT_EQ(server.requests(), 1);
        ExpectLog(run, {{""},
                        {" Start"},
                        {" CommandLine = 1 0 " + Peer(server)},
                        {" --> Sending Query to 127.0.0.1 on port " + std::to_string(server.port())},
                        {" --- Server Time: {ts}"},
                        {" --- Local  Time: {ts}"},
                        {" Return Value: 100"}});
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
        const Outcome run = Launch({"1", "0", Peer(server)});
        ExpectEnd(run, 0);
        EXPECT_EQ(server.requests(), 1);
        ExpectQuickFailure(run);
        ExpectLog(run, FailedQuery("1 0 " + Peer(server), "127.0.0.1", port, c.notice + " (netClock_Error)"));
    }
}

TEST_P(Pelldor, AClosedPortFailsAtOnce) {
    const std::string port = std::to_string(ClosedPort());
    const Outcome run = Launch({"1", "0", "127.0.0.1:" + port});
    ExpectEnd(run, 0);
    ExpectQuickFailure(run);
    ExpectLog(run, FailedQuery("1 0 127.0.0.1:" + port, "127.0.0.1", port,
                               "Error 4: Network error: Connection refused (netClock_Error)"));
}

TEST_P(Pelldor, PortsOutsideTheirRangeAreRejectedOnEveryAttempt) {
    for (const std::string port : {"0", "65536"}) {
        SCOPED_TRACE(port);
        const Outcome run = Launch({"5", "2", "127.0.0.1:" + port});
        ExpectEnd(run, 0);
        ExpectQuickFailure(run, 3);
        ExpectLog(run, FailedQuery("5 2 127.0.0.1:" + port, "127.0.0.1", port,
                                   "Error 2: Invalid port " + port + " (must be 1 to 65535) (netClock_Error)", 3));
    }
}

TEST_P(Pelldor, AnEmptyHostIsNoHost) {
    const Outcome run = Launch({"5", "0", ":123"});
    ExpectEnd(run, 0);
    ExpectQuickFailure(run);
    ExpectLog(run, FailedQuery("5 0 :123", "", "123", "Error 1: No host given (netClock_Error)"));
}

TEST_P(Pelldor, AHostWithABlankIsQuotedInTheLogAndNotFound) {
    const std::string port = std::to_string(ClosedPort());
    const Outcome run = Launch({"1", "0", "no such host:" + port});
    ExpectEnd(run, 0);
    ExpectLog(run, FailedQuery("1 0 \"no such host:" + port + "\"", "no such host", port,
                               "Error 3: Host not found: {any}"));
}

TEST_P(Pelldor, ANamedHostIsLookedUp) {
    NtpResponder server;
    const std::string port = std::to_string(server.port());
    const Outcome run = Launch({"5", "0", "localhost:" + port});
    ExpectEnd(run, 100);
    EXPECT_EQ(server.requests(), 1);
    ExpectLog(run, {{""},
                    {" Start"},
                    {" CommandLine = 5 0 localhost:" + port},
                    {" --> Sending Query to localhost on port " + port},
                    {" --- Server Time: {ts}"},
                    {" --- Local  Time: {ts}"},
                    {" Return Value: 100"}});
}

TEST_P(Pelldor, WithoutArgumentsItWaitsASecondAndEnds) {
    const Outcome run = Launch({});
    ExpectEnd(run, 0);
    ExpectElapsed(run, 1000ms, 1100ms);
    ExpectLog(run, {{""}, {" Start"}, {" CommandLine = "}});
}

TEST_P(Pelldor, ABadNumberIsAnArgumentError) {
    const Outcome run = Launch({"x", "2", "127.0.0.1:123"});
    ExpectEnd(run, 0);
    if (Logging()) {
        // The short way out, well before the second that a run without a server waits.
        EXPECT_GE(run.result.elapsed, 500ms);
        EXPECT_LT(run.result.elapsed, 950ms);
    } else {
        ExpectElapsed(run, 1000ms, 1100ms);
    }
    ExpectLog(run, {{""}, {" Start"}, {" CommandLine = x 2 127.0.0.1:123"}, {" Argument Error"}});
}

TEST(PelldorQuiet, AnEmptyDatagramIsNoAnswer) {
    NtpResponder server({.kind = ReplyKind::Short, .shortLength = 0});
    const TempDir dir;
    const RunResult result = RunProgram(CopyExecutable(PELLDOR_BINARY, dir.path()), {"1", "0", Peer(server)}, 15s);
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(server.requests(), 1);
    EXPECT_GE(result.elapsed, 1000ms);
    EXPECT_FALSE(std::filesystem::exists(dir.File("ntpdebug.txt")));
}

INSTANTIATE_TEST_SUITE_P(Log, Pelldor, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "WithLog" : "WithoutLog"; });

}  // namespace
}  // namespace pelldor::testing
