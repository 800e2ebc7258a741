#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <ostream>
#include <memory>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "support/chronyd.h"
#include "support/process.h"

namespace pelldor::testing {
namespace {

using namespace std::chrono;
using namespace std::chrono_literals;

constexpr std::size_t kStampLength = 19;
const std::regex kStamp(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)");
// A loaded machine and a sanitizer build stretch every run; a hung one is still caught.
constexpr milliseconds kSlack = 1500ms;
constexpr milliseconds kKillAfter = 15s;

std::string LocalNowText() {
    const time_t now = system_clock::to_time_t(system_clock::now());
    tm fields{};
    localtime_r(&now, &fields);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &fields);
    return text;
}

long long SerialSeconds(const std::string& stamp) {
    tm fields{};
    if (strptime(stamp.c_str(), "%Y-%m-%d %H:%M:%S", &fields) == nullptr) return 0;
    return static_cast<long long>(timegm(&fields));
}

struct ProbeRun {
    RunResult result;
    bool logging = false;
    bool logExists = false;
    std::vector<std::string> lines;  // without their CR LF
    std::string tail;                // what a CR LF did not end
    std::string before;
    std::string after;
};

std::string Dump(const ProbeRun& run) {
    std::string text = "exit " + std::to_string(run.result.exitStatus) + " after " +
                       std::to_string(run.result.elapsed.count()) + " ms; log:\n";
    for (const auto& line : run.lines) text += "  |" + line + "\n";
    return text;
}

ProbeRun Launch(bool logging, const std::vector<std::string>& args) {
    const TempDir dir;
    const std::string binary = CopyExecutable(PELLDOR_BINARY, dir.path());
    const std::string log = dir.File("ntpdebug.txt");
    if (logging) std::ofstream(log, std::ios::binary).flush();

    ProbeRun run;
    run.logging = logging;
    run.before = LocalNowText();
    run.result = RunProgram(binary, args, kKillAfter);
    run.after = LocalNowText();
    run.logExists = std::filesystem::exists(log);
    const std::string text = ReadWholeFile(log);
    std::string_view rest = text;
    for (std::size_t end; (end = rest.find("\r\n")) != std::string_view::npos; rest.remove_prefix(end + 2)) {
        run.lines.emplace_back(rest.substr(0, end));
    }
    run.tail = rest;
    return run;
}

// Ended by itself with this status, silent on both streams, the log left as it was found.
void ExpectEnd(const ProbeRun& run, int status) {
    ASSERT_TRUE(run.result.started) << run.result.startError;
    EXPECT_FALSE(run.result.killed) << Dump(run);
    EXPECT_TRUE(run.result.exited) << "signal " << run.result.signal;
    EXPECT_EQ(run.result.exitStatus, status) << Dump(run);
    EXPECT_EQ(run.result.out, "");
    EXPECT_EQ(run.result.err, "");
    EXPECT_EQ(run.logExists, run.logging);
    EXPECT_EQ(run.tail, "") << "the log does not end with CR LF";
}

void ExpectElapsed(const ProbeRun& run, milliseconds least, milliseconds most) {
    EXPECT_GE(run.result.elapsed, least) << Dump(run);
    EXPECT_LE(run.result.elapsed, most + kSlack) << Dump(run);
}

std::regex Pattern(const std::string& text) {
    static const std::regex metacharacters(R"([.^$|()\[\]{}*+?\\])");
    std::string escaped = std::regex_replace(text, metacharacters, R"(\$&)");
    const std::string placeholder = R"(\{ts\})";
    for (std::size_t at; (at = escaped.find(placeholder)) != std::string::npos;) {
        escaped.replace(at, placeholder.size(), R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)");
    }
    return std::regex(escaped);
}

// Line by line: "" is the empty line opening an entry; any other text is what follows the
// line's timestamp, with "{ts}" for a timestamp inside it. Line timestamps lie within the run
// and never go back.
void ExpectLog(const ProbeRun& run, const std::vector<std::string>& expected) {
    if (!run.logging) return;
    ASSERT_EQ(run.lines.size(), expected.size()) << Dump(run);
    std::string previous = run.before;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const std::string& line = run.lines[i];
        if (expected[i].empty()) {
            EXPECT_EQ(line, "") << "line " << i << "\n" << Dump(run);
            continue;
        }
        ASSERT_TRUE(std::regex_search(line, kStamp)) << "line " << i << " has no timestamp\n" << Dump(run);
        EXPECT_TRUE(std::regex_match(line.substr(kStampLength), Pattern(expected[i])))
            << "line " << i << " should be <ts>" << expected[i] << "\n"
            << Dump(run);
        const std::string stamp = line.substr(0, kStampLength);
        EXPECT_GE(stamp, previous) << "line " << i << "\n" << Dump(run);
        EXPECT_LE(stamp, run.after) << "line " << i << "\n" << Dump(run);
        previous = stamp;
    }
}

std::vector<std::string> AnsweredLog(const ChronydServer& server, const std::string& args, int status) {
    return {"",
            " Start",
            " CommandLine = " + args,
            " --> Sending Query to 127.0.0.1 on port " + std::to_string(server.port()),
            " --- Server Time: {ts}",
            " --- Local  Time: {ts}",
            " Return Value: " + std::to_string(status)};
}

std::vector<std::string> RefusedLog(const ChronydServer& server, const std::string& args, const std::string& notice) {
    return {"",
            " Start",
            " CommandLine = " + args,
            " --> Sending Query to 127.0.0.1 on port " + std::to_string(server.port()),
            notice + " (netClock_Error)",
            " --- Server Time: n/a",
            " --- Local  Time: {ts}",
            " Return Value: 0"};
}

// A refusal ends the query at once: only the pauses after the sending line, the notice and
// the closing line take time.
void ExpectQuickRefusal(const ProbeRun& run) {
    if (run.logging) {
        ExpectElapsed(run, 1100ms, 1300ms);
    } else {
        EXPECT_LT(run.result.elapsed, 900ms) << Dump(run);
    }
}

// Server time minus local time as logged, in whole seconds.
long long LoggedDifference(const ProbeRun& run) {
    std::string server;
    std::string local;
    for (const auto& line : run.lines) {
        if (line.size() < kStampLength) continue;
        const std::string text = line.substr(kStampLength);
        if (text.starts_with(" --- Server Time: ")) server = text.substr(18);
        if (text.starts_with(" --- Local  Time: ")) local = text.substr(18);
    }
    EXPECT_FALSE(server.empty() || local.empty()) << Dump(run);
    return SerialSeconds(server) - SerialSeconds(local);
}

// One chronyd per configuration for the whole test program, so a run of all tests in one
// process starts each only once; ctest's one-test-per-process runs pay one start per test.
class ChronydPool {
public:
    struct Lease {
        ChronydServer* server = nullptr;
        std::string why{};  // when there is no server
        bool unavailable = false;
    };

    static Lease Get(const ChronydOptions& options) {
        const std::string key = options.shift + (options.synchronised ? "/sync" : "/unsync") +
                                (options.rateLimited ? "/limited" : "");
        if (auto it = servers_.find(key); it != servers_.end()) return {.server = it->second.get()};
        if (auto it = failures_.find(key); it != failures_.end()) return it->second;
        try {
            return {.server = servers_.emplace(key, std::make_unique<ChronydServer>(options)).first->second.get()};
        } catch (const ChronydUnavailable& e) {
            return failures_[key] = {nullptr, e.what(), true};
        } catch (const std::exception& e) {
            return failures_[key] = {nullptr, e.what(), false};
        }
    }
    static void Clear() {
        servers_.clear();
        failures_.clear();
    }

private:
    static inline std::map<std::string, std::unique_ptr<ChronydServer>> servers_;
    static inline std::map<std::string, Lease> failures_;
};

class ChronydEnvironment : public ::testing::Environment {
public:
    void TearDown() override { ChronydPool::Clear(); }
};

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new ChronydEnvironment);

// Skips where chronyd cannot run, fails where it should run but does not start.
template <typename Param>
class WithChronyd : public ::testing::TestWithParam<Param> {
protected:
    void Serve(const ChronydOptions& options) {
        const ChronydPool::Lease lease = ChronydPool::Get(options);
        server_ = lease.server;
        if (server_ != nullptr) return;
        if (lease.unavailable) GTEST_SKIP() << lease.why;
        FAIL() << lease.why;
    }

    ChronydServer* server_ = nullptr;
};

struct ShiftCase {
    const char* shift;
    double seconds;
    int status;
    const char* name;
};

void PrintTo(const ShiftCase& c, std::ostream* out) { *out << "shift " << c.shift << " s"; }

class ChronydShift : public WithChronyd<std::tuple<ShiftCase, bool>> {
protected:
    void SetUp() override { Serve({.shift = Shift().shift}); }
    static ShiftCase Shift() { return std::get<0>(GetParam()); }
    static bool Logging() { return std::get<1>(GetParam()); }
};

TEST_P(ChronydShift, TheVerdictFollowsChronydsClock) {
    const ShiftCase c = Shift();
    const std::string args = "2 0 " + server_->Peer();
    const ProbeRun run = Launch(Logging(), {"2", "0", server_->Peer()});
    ExpectEnd(run, c.status);
    ExpectLog(run, AnsweredLog(*server_, args, c.status));
    if (Logging()) {
        // Both sides are cut to whole seconds, so the logged difference is within one second
        // of the shift.
        EXPECT_LE(std::fabs(static_cast<double>(LoggedDifference(run)) - c.seconds), 1.0) << Dump(run);
        ExpectElapsed(run, 800ms, 900ms);
    } else {
        ExpectElapsed(run, 0ms, 300ms);
    }
}

INSTANTIATE_TEST_SUITE_P(Chrony, ChronydShift,
                         ::testing::Combine(::testing::Values(ShiftCase{"0", 0, 100, "Level"},
                                                              ShiftCase{"+30", 30, 100, "Ahead30s"},
                                                              ShiftCase{"-2.5", -2.5, 100, "Behind2500ms"},
                                                              ShiftCase{"-4.5", -4.5, 0, "Behind4500ms"},
                                                              ShiftCase{"-3600", -3600, 0, "Behind1h"}),
                                            ::testing::Bool()),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::get<1>(info.param) ? "WithLog" : "WithoutLog");
                         });

class ChronydUnsynchronised : public WithChronyd<bool> {
protected:
    void SetUp() override { Serve({.synchronised = false}); }
};

TEST_P(ChronydUnsynchronised, IsReportedAndGivesNoTime) {
    // What the probe is about to hear: chronyd marks an unsynchronised answer with leap 3.
    const auto heard = AskOnce(server_->port(), 2s);
    ASSERT_TRUE(heard.has_value()) << server_->Output();
    ASSERT_EQ(heard->leap, 3);
    SCOPED_TRACE("chronyd answers with leap 3, stratum " + std::to_string(heard->stratum) + ", reference \"" +
                 heard->ReferenceText() + "\"");

    const std::string args = "2 0 " + server_->Peer();
    const ProbeRun run = Launch(GetParam(), {"2", "0", server_->Peer()});
    ExpectEnd(run, 0);
    ExpectQuickRefusal(run);
    ExpectLog(run, RefusedLog(*server_, args, "Error 7: Server not synchronised (leap indicator 3)"));
}

INSTANTIATE_TEST_SUITE_P(Chrony, ChronydUnsynchronised, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "WithLog" : "WithoutLog"; });

class ChronydRateLimit : public WithChronyd<bool> {
protected:
    void SetUp() override { Serve({.rateLimited = true}); }
};

bool IsKissOfDeathRate(const NtpReplyHeader& reply) {
    return reply.stratum == 0 && reply.ReferenceText() == "RATE";
}

TEST_P(ChronydRateLimit, AKissOfDeathIsReportedAndGivesNoTime) {
    // Rate limits are kept per client address, and the probe shares 127.0.0.1 with this
    // socket: a flood puts the address over its limit before the probe asks, and shows that
    // chronyd answers the excess with KoD RATE at all.
    int kisses = 0;
    for (int i = 0; i < 20; ++i) {
        const auto reply = AskOnce(server_->port(), 30ms);
        if (reply && IsKissOfDeathRate(*reply)) ++kisses;
    }
    ASSERT_GT(kisses, 0) << "chronyd sent no KoD RATE to a flood of 20 requests\n" << server_->Output();

    // chronyd picks at random which excess request gets a KoD, which a plain answer (leaked
    // through the limit) and which nothing, so the probe asks until one run meets a KoD.
    // A run that hears nothing waits out its one-second timeout; a KoD ends it at once.
    const std::string args = "1 0 " + server_->Peer();
    const auto metKiss = [&](const ProbeRun& run) {
        if (run.logging) {
            for (const auto& line : run.lines) {
                if (line.find("Kiss-o'-death") != std::string::npos) return true;
            }
            return false;
        }
        return run.result.exited && run.result.exitStatus == 0 && run.result.elapsed < 900ms;
    };
    std::string outcomes;
    constexpr int kRuns = 12;
    for (int i = 0; i < kRuns; ++i) {
        const ProbeRun run = Launch(GetParam(), {"1", "0", server_->Peer()});
        if (metKiss(run)) {
            ExpectEnd(run, 0);
            ExpectQuickRefusal(run);
            ExpectLog(run, RefusedLog(*server_, args, "Error 6: Kiss-o'-death from server: RATE"));
            return;
        }
        ASSERT_TRUE(run.result.exited && !run.result.killed) << Dump(run);
        EXPECT_EQ(run.result.out + run.result.err, "");
        outcomes += Dump(run);
    }
    FAIL() << "no run of " << kRuns << " met a KoD RATE:\n" << outcomes;
}

INSTANTIATE_TEST_SUITE_P(Chrony, ChronydRateLimit, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "WithLog" : "WithoutLog"; });

}  // namespace
}  // namespace pelldor::testing
