#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "support/chronyd.h"
#include "support/probe_run.h"
#include "support/server_pool.h"

namespace pelldor::testing {
namespace {

using namespace std::chrono;
using namespace std::chrono_literals;

ProbeRun Launch(bool logging, const std::vector<std::string>& args) {
    return RunProbe(ProbeBinary(), args, {.logging = logging});
}

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new ServerPoolEnvironment<ChronydServer>);

template <typename Param>
class WithChronyd : public WithServer<ChronydServer, Param> {
protected:
    void Serve(const ChronydOptions& options) {
        const std::string key = options.shift + (options.synchronised ? "/sync" : "/unsync") +
                                (options.rateLimited ? "/limited" : "");
        WithServer<ChronydServer, Param>::Serve(key, options);
    }
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
    ExpectLog(run, AnsweredLog(args, "127.0.0.1", std::to_string(server_->port()), c.status));
    if (Logging()) {
        // Both sides are cut to whole seconds, so the logged difference is within one second
        // of the shift.
        EXPECT_LE(std::fabs(static_cast<double>(LoggedLag(run)) - c.seconds), 1.0) << Dump(run);
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

    const std::string timeout = std::to_string(kPatientTimeout);
    const std::string args = timeout + " 0 " + server_->Peer();
    const ProbeRun run = Launch(GetParam(), {timeout, "0", server_->Peer()});
    ExpectEnd(run, 0);
    ExpectQuickFailure(run);
    ExpectLog(run, FailedLog(args, "127.0.0.1", std::to_string(server_->port()),
                             "Error 7: Server not synchronised (leap indicator 3)"));
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
        const auto reply = AskOnce(server_->port(), 250ms);
        if (reply && IsKissOfDeathRate(*reply)) ++kisses;
    }
    ASSERT_GT(kisses, 0) << "chronyd sent no KoD RATE to a flood of 20 requests\n" << server_->Output();

    // chronyd picks at random which excess request gets a KoD, which a plain answer (leaked
    // through the limit) and which nothing, so the probe asks until one run meets a KoD.
    // A run that hears nothing cannot end before its timeout, however fast the machine; one
    // without a log that ends with status 0 before then met a KoD.
    constexpr int kTimeout = 3;
    const std::string args = std::to_string(kTimeout) + " 0 " + server_->Peer();
    const auto metKiss = [&](const ProbeRun& run) {
        if (run.logging) {
            for (const auto& line : run.lines) {
                if (line.find("Kiss-o'-death") != std::string::npos) return true;
            }
            return false;
        }
        return run.result.exited && run.result.exitStatus == 0 && run.result.elapsed < seconds(kTimeout);
    };
    std::string outcomes;
    constexpr int kRuns = 12;
    for (int i = 0; i < kRuns; ++i) {
        const ProbeRun run = Launch(GetParam(), {std::to_string(kTimeout), "0", server_->Peer()});
        if (metKiss(run)) {
            ExpectEnd(run, 0);
            ExpectQuickFailure(run);
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

INSTANTIATE_TEST_SUITE_P(Chrony, ChronydRateLimit, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "WithLog" : "WithoutLog"; });

}  // namespace
}  // namespace pelldor::testing
