#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <ostream>
#include <string>
#include <vector>

#include "support/chronyd.h"
#include "support/probe_run.h"
#include "support/server_pool.h"

namespace pelldor::testing {
namespace {

using namespace std::chrono;
using namespace std::chrono_literals;

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new ServerPoolEnvironment<ChronydServer>);

template <typename Base = ::testing::Test>
class WithChronyd : public WithServer<ChronydServer, Base> {
protected:
    void Serve(const ChronydOptions& options) {
        const std::string key = options.shift + (options.synchronised ? "/sync" : "/unsync") +
                                (options.rateLimited ? "/limited" : "");
        WithServer<ChronydServer, Base>::Serve(key, options);
    }
};

struct ShiftCase {
    const char* shift;
    double seconds;
    int status;
    const char* name;
};

void PrintTo(const ShiftCase& c, std::ostream* out) { *out << "shift " << c.shift << " s"; }

// Each with the log, whose times show the shift; the unit tests hold the rest of its lines,
// and the drop-in's table a run without one.
class ChronydShift : public WithChronyd<::testing::TestWithParam<ShiftCase>> {
protected:
    void SetUp() override { Serve({.shift = GetParam().shift}); }
};

TEST_P(ChronydShift, TheVerdictFollowsChronydsClock) {
    const ShiftCase c = GetParam();
    const ProbeRun run = RunDropIn(kPatientTimeout, 0, server_->Peer(), {.logging = true});
    ExpectEnd(run, c.status);
    ExpectNoWait(run);
    ExpectLog(run, AnsweredLog(std::to_string(kPatientTimeout) + " 0 " + server_->Peer(), "127.0.0.1",
                               std::to_string(server_->port()), c.status));
    // Both sides are cut to whole seconds, so the logged difference is within one second of
    // the shift.
    EXPECT_LE(std::fabs(static_cast<double>(LoggedLag(run)) - c.seconds), 1.0) << Dump(run);
}

INSTANTIATE_TEST_SUITE_P(Chrony, ChronydShift,
                         ::testing::Values(ShiftCase{"0", 0, 100, "Level"}, ShiftCase{"+30", 30, 100, "Ahead30s"},
                                           ShiftCase{"-2.5", -2.5, 100, "Behind2500ms"},
                                           ShiftCase{"-4.5", -4.5, 0, "Behind4500ms"},
                                           ShiftCase{"-3600", -3600, 0, "Behind1h"}),
                         [](const auto& info) { return std::string(info.param.name); });

class ChronydUnsynchronised : public WithChronyd<> {
protected:
    void SetUp() override { Serve({.synchronised = false}); }
};

TEST_F(ChronydUnsynchronised, IsReportedAndGivesNoTime) {
    // What the probe is about to hear: chronyd marks an unsynchronised answer with leap 3.
    const auto heard = AskOnce(server_->port(), 2s);
    ASSERT_TRUE(heard.has_value()) << server_->Output();
    ASSERT_EQ(heard->leap, 3);
    SCOPED_TRACE("chronyd answers with leap 3, stratum " + std::to_string(heard->stratum) + ", reference \"" +
                 heard->ReferenceText() + "\"");

    const ProbeRun run = RunDropIn(kPatientTimeout, 0, server_->Peer(), {.logging = true});
    ExpectEnd(run, 0);
    ExpectNoWait(run);
    ExpectLog(run, FailedLog(std::to_string(kPatientTimeout) + " 0 " + server_->Peer(), "127.0.0.1",
                             std::to_string(server_->port()), "Error 7: Server not synchronised (leap indicator 3)"));
}

class ChronydRateLimit : public WithChronyd<> {
protected:
    void SetUp() override { Serve({.rateLimited = true}); }
};

bool IsKissOfDeathRate(const NtpReplyHeader& reply) {
    return reply.stratum == 0 && reply.ReferenceText() == "RATE";
}

TEST_F(ChronydRateLimit, AKissOfDeathIsReportedAndGivesNoTime) {
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

}  // namespace
}  // namespace pelldor::testing
