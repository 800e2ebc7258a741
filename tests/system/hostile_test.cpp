#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <ostream>
#include <regex>
#include <string>
#include <system_error>
#include <thread>
#include <tuple>
#include <vector>

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

constexpr std::size_t kStampLength = 19;
const std::regex kStamp(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)");
const std::regex kNotice(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\dError \d+: .* \(netClock_Error\)$)");

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

struct Setup {
    bool logging = false;
    // In a network namespace of its own, so that a name lookup cannot leave the machine.
    bool isolated = false;
    // Runs in the run's folder before the start.
    std::function<void(const std::string& folder)> prepare{};
    // Runs on a second thread during the run; `over` is set once the run has ended.
    std::function<void(const std::string& log, const std::atomic<bool>& over)> during{};
    // Runs in the run's folder after the end, before the folder goes.
    std::function<void(const std::string& folder)> inspect{};
};

struct Outcome {
    int timeout = 0;
    int retries = 0;
    bool logging = false;
    RunResult result;
    bool logExists = false;
    std::vector<std::string> lines;  // without their CR LF
};

std::string Dump(const Outcome& run) {
    std::string text = "exit " + std::to_string(run.result.exitStatus) + " signal " +
                       std::to_string(run.result.signal) + " after " + std::to_string(run.result.elapsed.count()) +
                       " ms; stderr: " + run.result.err + "; log:\n";
    for (const auto& line : run.lines) text += "  |" + line.substr(0, 200) + "\n";
    return text;
}

// What a run may take: each attempt its timeout plus 1.1 s, 0.5 s to start and end, and
// with the log on 0.3 s for each error notice and 1 s for the other pauses.
milliseconds Bound(int timeout, int retries, bool logging, long notices) {
    const long attempts = std::max(retries, 0) + 1;
    const milliseconds logged = logging ? milliseconds(300 * notices) + 1000ms : 0ms;
    return attempts * (seconds(std::max(timeout, 0)) + 1100ms) + 500ms + logged;
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

Outcome Launch(int timeout, int retries, const std::string& server, const Setup& setup = {}) {
    const TempDir dir;
    const std::string binary = CopyExecutable(PELLDOR_BINARY, dir.path());
    const std::string log = dir.File("ntpdebug.txt");
    if (setup.logging) std::ofstream(log, std::ios::binary).flush();
    if (setup.prepare) setup.prepare(dir.path());

    std::string program = binary;
    std::vector<std::string> args{std::to_string(timeout), std::to_string(retries), server};
    if (setup.isolated) {
        program = UnshareTool();
        args.insert(args.begin(), {"--net", "--", binary});
    }

    Outcome run;
    run.timeout = timeout;
    run.retries = retries;
    run.logging = setup.logging;
    std::atomic<bool> over{false};
    std::thread helper;
    if (setup.during) helper = std::thread([&] { setup.during(log, over); });
    const long mostNotices = 2L * (std::max(retries, 0) + 1);
    run.result = RunProgram(program, args, Bound(timeout, retries, true, mostNotices) + 5s);
    over = true;
    if (helper.joinable()) helper.join();

    // A link in the log's place is not read: it may lead to anything.
    run.logExists = fs::is_regular_file(fs::symlink_status(log));
    const std::string text = run.logExists ? ReadWholeFile(log) : std::string();
    std::string_view rest = text;
    for (std::size_t end; (end = rest.find("\r\n")) != std::string_view::npos; rest.remove_prefix(end + 2)) {
        run.lines.emplace_back(rest.substr(0, end));
    }
    EXPECT_EQ(rest, "") << "the log does not end with CR LF";
    if (setup.inspect) setup.inspect(dir.path());
    return run;
}

// Ended through exit with this status, quietly, within its bound, with a log only when
// one was asked for.
void ExpectCleanEnd(const Outcome& run, int status) {
    ASSERT_TRUE(run.result.started) << run.result.startError;
    EXPECT_FALSE(run.result.killed) << Dump(run);
    ASSERT_TRUE(run.result.exited) << Dump(run);
    EXPECT_EQ(run.result.exitStatus, status) << Dump(run);
    EXPECT_EQ(run.result.out, "");
    EXPECT_EQ(run.result.err, "");
    EXPECT_EQ(run.logExists, run.logging);
    ExpectWithinBound(run);
}

// Texts after the timestamp, where "{ts}" stands for any timestamp and "{any}" for any text.
std::regex Pattern(const std::string& text) {
    static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
    std::string escaped = std::regex_replace(text, special, R"(\$&)");
    for (const auto& [placeholder, meaning] :
         {std::pair<std::string, std::string>{R"(\{ts\})", R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)"},
          std::pair<std::string, std::string>{R"(\{any\})", "[\\s\\S]+"}}) {
        for (std::size_t at; (at = escaped.find(placeholder)) != std::string::npos;) {
            escaped.replace(at, placeholder.size(), meaning);
        }
    }
    return std::regex(escaped);
}

// The log's lines in order ("" for the empty line that opens it), leaving out at most
// strayMost lines that match `stray`: a notice for a query the run has already given up
// on arrives whenever events are next delivered. Ignored when the run does not log.
void ExpectLog(const Outcome& run, const std::vector<std::string>& expected, const std::string& stray = {},
               int strayMost = 0) {
    if (!run.logging) return;
    std::vector<std::string> texts;
    int strays = 0;
    for (const std::string& line : run.lines) {
        if (line.empty()) {
            texts.emplace_back();
            continue;
        }
        ASSERT_TRUE(std::regex_search(line, kStamp)) << "no timestamp: " << line << "\n" << Dump(run);
        const std::string text = line.substr(kStampLength);
        if (!stray.empty() && std::regex_match(text, Pattern(stray))) {
            ++strays;
        } else {
            texts.push_back(text);
        }
    }
    EXPECT_LE(strays, strayMost) << Dump(run);
    ASSERT_EQ(texts.size(), expected.size()) << Dump(run);
    for (std::size_t i = 0; i < texts.size(); ++i) {
        EXPECT_TRUE(expected[i].empty() ? texts[i].empty() : std::regex_match(texts[i], Pattern(expected[i])))
            << "line " << i << " should be <ts>" << expected[i] << "\n"
            << Dump(run);
    }
}

std::string TailOf(int timeout, int retries, const std::string& server) {
    return std::to_string(timeout) + " " + std::to_string(retries) + " " + server;
}

// A whole log for one server: each attempt's sending line, followed by `notice` if given,
// then the times and the verdict.
std::vector<std::string> RunLines(const std::string& tail, const std::string& host, const std::string& port,
                                  int attempts, const std::string& notice, int status) {
    std::vector<std::string> lines{"", " Start", " CommandLine = " + tail};
    for (int i = 0; i < attempts; ++i) {
        lines.push_back(" --> Sending Query to " + host + " on port " + port);
        if (!notice.empty()) lines.push_back(notice + " (netClock_Error)");
    }
    lines.push_back(status == 100 ? " --- Server Time: {ts}" : " --- Server Time: n/a");
    lines.push_back(" --- Local  Time: {ts}");
    lines.push_back(" Return Value: " + std::to_string(status));
    return lines;
}

// Server time minus local time as the log shows them, in whole seconds.
long long LoggedLag(const Outcome& run) {
    long long server = 0;
    long long local = 0;
    for (const auto& line : run.lines) {
        if (line.size() <= kStampLength) continue;
        const std::string text = line.substr(kStampLength);
        for (auto [label, into] : {std::pair{" --- Server Time: ", &server}, std::pair{" --- Local  Time: ", &local}}) {
            tm fields{};
            if (text.rfind(label, 0) == 0 &&
                strptime(text.c_str() + std::strlen(label), "%Y-%m-%d %H:%M:%S", &fields)) {
                *into = static_cast<long long>(timegm(&fields));
            }
        }
    }
    EXPECT_TRUE(server != 0 && local != 0) << Dump(run);
    return server - local;
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
};

void PrintTo(const Hostile& c, std::ostream* out) { *out << c.name; }

class HostileReply : public ::testing::TestWithParam<std::tuple<Hostile, bool>> {};

TEST_P(HostileReply, TheVerdictIsTheGoodReplysAlone) {
    const auto& [c, logging] = GetParam();
    constexpr int kTimeout = 1;
    NtpResponder server(c.options);
    const std::string port = std::to_string(server.port());
    const Outcome run = Launch(kTimeout, c.retries, Peer(server), {.logging = logging});
    ExpectCleanEnd(run, c.status);

    const int attempts = c.retries + 1;
    EXPECT_EQ(server.requests(), attempts);
    if (c.waits) {
        EXPECT_GE(run.result.elapsed, attempts * seconds(kTimeout)) << Dump(run);
    }
    ExpectLog(run,
              RunLines(TailOf(kTimeout, c.retries, Peer(server)), "127.0.0.1", port, c.waits ? attempts : 1, c.notice,
                       c.status),
              c.waits ? "Error 5: No answer within 1 s (netClock_Error)" : "", c.waits ? attempts : 0);
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
// whose fresh socket and cookie must not take it.
INSTANTIATE_TEST_SUITE_P(
    Stream, HostileReply,
    ::testing::Combine(
        ::testing::Values(Hostile{"FloodOf500First", {.garbageBefore = 500, .garbageBatch = 0}, 100, ""},
                          Hostile{"AnswerAfterTheDeadline", {.delay = 1800ms}, 0, "", true, 1}),
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

    const Outcome run = Launch(c.timeout, c.retries, server, {.logging = logging, .isolated = c.isolated});
    ExpectCleanEnd(run, 0);

    const int attempts = std::max(c.retries, 0) + 1;
    if (silent) {
        EXPECT_EQ(silent->requests(), attempts);
        EXPECT_GE(run.result.elapsed, attempts * seconds(std::max(c.timeout, 0))) << Dump(run);
    }
    ExpectLog(run, RunLines(TailOf(c.timeout, c.retries, server), host, port, attempts, c.notice, 0));
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

// ---------------------------------------------------------------------------------------
// The log file itself misbehaving.

TEST(HostileLog, DeletedDuringTheRunItIsCreatedAgainWithTheLaterLines) {
    NtpResponder server({.kind = ReplyKind::Silent});
    const std::string port = std::to_string(server.port());
    std::atomic<bool> deleted{false};
    // Deleted once the first attempt has begun, so logging is surely on and later lines are due.
    const auto deleter = [&](const std::string& log, const std::atomic<bool>& over) {
        const auto giveUp = steady_clock::now() + 5s;
        while (!over && steady_clock::now() < giveUp) {
            if (ReadWholeFile(log).find(" --> Sending Query") != std::string::npos) {
                std::error_code error;
                deleted = fs::remove(log, error);
                return;
            }
            std::this_thread::sleep_for(5ms);
        }
    };
    const Outcome run = Launch(1, 1, Peer(server), {.logging = true, .during = deleter});
    ASSERT_TRUE(deleted);
    ExpectCleanEnd(run, 0);
    EXPECT_EQ(server.requests(), 2);
    ExpectLog(run,
              {" --> Sending Query to 127.0.0.1 on port " + port, " --- Server Time: n/a", " --- Local  Time: {ts}",
               " Return Value: 0"},
              "Error 5: No answer within 1 s (netClock_Error)", 2);
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
        const std::string peer = server ? Peer(*server) : "127.0.0.1:" + std::to_string(ClosedPort());
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
        ExpectCleanEnd(run, c.status);
        // With the log on, its pauses alone would take 0.8 s.
        EXPECT_LT(run.result.elapsed, 800ms) << Dump(run);
        std::vector<std::string> expected{"ntpdebug.txt", fs::path(PELLDOR_BINARY).filename().string()};
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
        Launch(1, 0, Peer(server),
               {.prepare = [&](const std::string& folder) { fs::create_symlink(target, folder + "/ntpdebug.txt"); }});
    ASSERT_TRUE(run.result.started) << run.result.startError;
    EXPECT_FALSE(run.result.killed);
    ASSERT_TRUE(run.result.exited) << Dump(run);
    EXPECT_EQ(run.result.exitStatus, 1) << Dump(run);
    EXPECT_EQ(run.result.out, "");
    EXPECT_EQ(std::count(run.result.err.begin(), run.result.err.end(), '\n'), 1) << run.result.err;
    ASSERT_GT(run.result.err.size(), 1u);
    EXPECT_EQ(run.result.err.back(), '\n');
    EXPECT_LE(run.result.elapsed, Bound(1, 0, true, 0)) << Dump(run);
}

}  // namespace
}  // namespace pelldor::testing
