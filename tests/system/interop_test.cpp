#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <ostream>
#include <regex>
#include <string>

#include "support/chronyd.h"
#include "support/netns.h"
#include "support/ntpd.h"
#include "support/probe_run.h"
#include "support/server_pool.h"

// The probe against real servers: chronyd on loopback, its clock shifted by libfaketime,
// and ntpsec's ntpd in network namespaces.
namespace pelldor::testing {
namespace {

using namespace std::chrono;
using namespace std::chrono_literals;

std::string Key(const ChronydOptions& options) {
    return options.shift + (options.synchronised ? "/sync" : "/unsync") + (options.rateLimited ? "/limited" : "");
}

struct ChronydRow {
    const char* name;
    ChronydOptions options;
    int status;
};

void PrintTo(const ChronydRow& row, std::ostream* out) { *out << row.name; }

// Each with the log, whose times show the shift; the unit tests hold the rest of its lines,
// and the drop-in's table a run without one.
class Chronyd : public WithServer<ChronydServer, ::testing::TestWithParam<ChronydRow>> {
protected:
    void SetUp() override { Serve(Key(GetParam().options), GetParam().options); }
};

TEST_P(Chronyd, TheVerdictFollowsChronydsClock) {
    const ChronydRow& row = GetParam();
    const std::string args = std::to_string(kPatientTimeout) + " 0 " + server_->Peer();
    const std::string port = std::to_string(server_->port());
    // What the probe is about to hear: chronyd marks an unsynchronised answer with leap 3.
    const auto heard = AskOnce(server_->port(), 2s);
    ASSERT_TRUE(heard.has_value()) << server_->Output();
    ASSERT_TRUE(row.options.synchronised || heard->leap == 3) << heard->leap;
    SCOPED_TRACE("chronyd answers with leap " + std::to_string(heard->leap) + ", stratum " +
                 std::to_string(heard->stratum) + ", reference " + heard->ReferenceText());
    const ProbeRun run = RunDropIn(kPatientTimeout, 0, server_->Peer(), {.logging = true});
    ExpectEndWithin(run, row.status, kPatientTimeout, 0);
    if (!row.options.synchronised) {
        ExpectLog(run, FailedLog(args, "127.0.0.1", port, "Error 7: Server not synchronised (leap indicator 3)"));
        return;
    }
    ExpectLog(run, AnsweredLog(args, "127.0.0.1", port, row.status));
    // Both sides are cut to whole seconds, so the logged difference is within one second of
    // the shift.
    EXPECT_LE(std::fabs(static_cast<double>(LoggedLag(run)) - std::stod(row.options.shift)), 1.0) << Dump(run);
}

INSTANTIATE_TEST_SUITE_P(Chrony, Chronyd,
                         ::testing::Values(ChronydRow{"Level", {}, 100}, ChronydRow{"Ahead30s", {.shift = "+30"}, 100},
                                           ChronydRow{"Behind2500ms", {.shift = "-2.5"}, 100},
                                           ChronydRow{"Behind4500ms", {.shift = "-4.5"}, 0},
                                           ChronydRow{"Behind1h", {.shift = "-3600"}, 0},
                                           ChronydRow{"Unsynchronised", {.synchronised = false}, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

class ChronydRateLimit : public WithServer<ChronydServer> {
protected:
    void SetUp() override { Serve(Key({.rateLimited = true}), ChronydOptions{.rateLimited = true}); }
};

TEST_F(ChronydRateLimit, AKissOfDeathIsReportedAndGivesNoTime) {
    // Rate limits are kept per client address, and the probe shares 127.0.0.1 with this
    // socket: a flood puts the address over its limit before the probe asks, and shows that
    // chronyd answers the excess with KoD RATE at all.
    int kisses = 0;
    for (int i = 0; i < 20; ++i) {
        const auto reply = AskOnce(server_->port(), 250ms);
        if (reply && reply->stratum == 0 && reply->ReferenceText() == "RATE") ++kisses;
    }
    ASSERT_GT(kisses, 0) << "chronyd sent no KoD RATE to a flood of 20 requests\n" << server_->Output();

    // chronyd picks at random which excess request gets a KoD, which a plain answer (leaked
    // through the limit) and which nothing, so the probe asks until one run meets a KoD.
    constexpr int kTimeout = 3;
    const std::string args = std::to_string(kTimeout) + " 0 " + server_->Peer();
    const auto metKiss = [](const ProbeRun& run) {
        return std::any_of(run.lines.begin(), run.lines.end(),
                           [](const std::string& line) { return line.find("Kiss-o'-death") != std::string::npos; });
    };
    std::string outcomes;
    constexpr int kRuns = 12;
    for (int i = 0; i < kRuns; ++i) {
        const ProbeRun run = RunDropIn(kTimeout, 0, server_->Peer(), {.logging = true});
        if (metKiss(run)) {
            ExpectEndWithin(run, 0, kTimeout, 0);
            ExpectLog(run, FailedLog(args, "127.0.0.1", std::to_string(server_->port()),
                                     "Error 6: Kiss-o'-death from server: RATE"));
            return;
        }
        ASSERT_TRUE(run.result.exited && !run.result.killed) << Dump(run);
        EXPECT_EQ(run.result.out + run.result.err, "");
        outcomes += Dump(run);
    }
    FAIL() << "no run of " << kRuns << " met a KoD RATE:\n" << outcomes;
}

struct NtpdRow {
    const char* name;
    NtpdOptions options;
    // What ntpd answers a request of ours first, before the probe asks.
    const char* heard;
    int timeout;
    int retries;
    int status;
    const char* notice;  // none when ntpd gives its time
    int requests;        // that reach ntpd from the probe
};

void PrintTo(const NtpdRow& row, std::ostream* out) { *out << row.name; }

// The probe runs in ntpd's namespace, where 127.0.0.1:123 is ntpd's, with the log on: the
// drop-in's own table holds runs without it. A run that waited out a patient timeout it had
// no reason to wait for stands out.
class Ntpd : public WithServer<NtpdServer, ::testing::TestWithParam<NtpdRow>> {
protected:
    void SetUp() override {
        if (UnderWine()) {
            GTEST_SKIP() << "under Wine the probe's sockets are made by the wineserver, outside ntpd's namespace";
        }
        const NtpdOptions& options = GetParam().options;
        Serve(std::string(options.synchronised ? "sync" : "start") + (options.rateLimited ? "/limited" : ""), options);
    }
};

TEST_P(Ntpd, TheProbeHearsNtpdAsItAnswers) {
    const NtpdRow& row = GetParam();
    // A rate limit is kept per client address, and the probe shares 127.0.0.1 with these
    // requests: the first puts the address over the limit, and the rest show that ntpd
    // kisses the excess.
    std::string heard;
    for (int i = 0; i < 5 && !std::regex_match(heard, std::regex(row.heard)); ++i) {
        const auto reply = server_->Ask(2s);
        heard = reply ? "leap " + std::to_string(reply->leap) + ", stratum " + std::to_string(reply->stratum) + ", " +
                            reply->ReferenceText()
                      : "nothing";
    }
    ASSERT_TRUE(std::regex_match(heard, std::regex(row.heard))) << "ntpd: " << heard << "\n" << server_->Output();

    UdpRequestCounter requests(server_->netns(), NtpdServer::kPort);
    const ProbeRun run =
        RunDropIn(row.timeout, row.retries, server_->Peer(), {.logging = true, .via = server_->netns().Via()});
    ExpectEndWithin(run, row.status, row.timeout, row.retries);
    const std::string args = std::to_string(row.timeout) + " " + std::to_string(row.retries) + " " + server_->Peer();
    const std::string port = std::to_string(NtpdServer::kPort);
    if (row.notice != nullptr) {
        ExpectLog(run, FailedLog(args, NtpdServer::kHost, port, row.notice, row.retries + 1));
    } else {
        ExpectLog(run, AnsweredLog(args, NtpdServer::kHost, port, row.status));
        // ntpd serves this machine's own clock, and the log cuts both times to whole seconds.
        EXPECT_LE(std::llabs(LoggedLag(run)), 1) << Dump(run);
    }
    EXPECT_EQ(requests.Count(), row.requests) << "a server that sent a kiss-o'-death is asked again\n" << Dump(run);
}

// INIT comes as stratum 0 with the alarm leap indicator, like a kiss-o'-death, yet it only
// tells that ntpd has no time yet: every attempt asks again.
INSTANTIATE_TEST_SUITE_P(
    Ntpsec, Ntpd,
    ::testing::Values(NtpdRow{"Starting", {}, "leap 3, stratum 0, INIT", kPatientTimeout, 2, 0,
                          "Error 7: Server not synchronised (kiss code INIT)", 3},
                      NtpdRow{"Synchronised", {.synchronised = true}, "leap 0, stratum ([1-9]|1[0-5]), .*", 2, 0, 100,
                          nullptr, 1},
                      NtpdRow{"RateLimited", {.rateLimited = true}, "leap ., stratum 0, RATE", kPatientTimeout, 2, 0,
                          "Error 6: Kiss-o'-death from server: RATE", 1}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace pelldor::testing
