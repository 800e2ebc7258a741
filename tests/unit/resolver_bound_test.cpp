#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstdint>
#include <functional>
#include <new>
#include <sstream>
#include <ostream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "dropin/error_notice.h"
#include "dropin/sntp_client.h"
#include "platform/background_lookup.h"
#include "support/bounds.h"
#include "support/fake_network.h"
#include "support/polling.h"
#include "support/run_fixture.h"

namespace pelldor::dropin {
namespace {

struct Limits {
    std::int16_t timeout;
    std::int16_t retries;
};

void PrintTo(const Limits& l, std::ostream* out) { *out << "timeout " << l.timeout << ", retries " << l.retries; }

// The real client on the virtual platform, asking for a name whose lookup never ends:
// only the run's own deadlines can bring it to a close.
class ResolverNeverAnswers : public testing::RunFixture,
                             public ::testing::WithParamInterface<std::tuple<Limits, bool>> {
protected:
    ResolverNeverAnswers() { net.NeverResolve("stuck.test"); }

    testing::FakeNetwork net{m.clock};
    exchange::Client core{m.clock, net, m.loop};
    SntpClient sntp{core, pacer};
    FrmPelldor real{m.process, log, pacer, sntp};
};

TEST_P(ResolverNeverAnswers, TheRunEndsWithinItsBound) {
    const auto [limits, logging] = GetParam();
    if (logging) CreateSwitchFile();
    m.process.tail = std::to_string(limits.timeout) + " " + std::to_string(limits.retries) + " stuck.test:123";

    const int attempts = std::max<int>(limits.retries, 0) + 1;
    const auto boundMs = [&](long notices) -> std::int64_t {
        return testing::bounds::DropInRun(limits.timeout, limits.retries, logging, notices).count();
    };
    const std::int64_t start = m.clock.monotonicNanos;
    // A run that would never end on its own is stopped well past its bound, not left to hang.
    m.clock.onWait = [&] {
        if ((m.clock.monotonicNanos - start) / 1'000'000 > boundMs(attempts) + 10'000) {
            throw RunEnded{{RunEnd::Way::Unhandled, -1, "still running"}};
        }
    };
    const RunEnd end = RunDriver(real);
    const std::int64_t elapsedMs = (m.clock.monotonicNanos - start) / 1'000'000;

    EXPECT_EQ(end.way, RunEnd::Way::Exit) << end.message;
    EXPECT_EQ(end.status, 0);

    const std::vector<std::string> log = Log();
    const std::string timeoutNotice =
        "@Error 5: No answer within " + std::to_string(limits.timeout) + " s (netClock_Error)";
    const auto notices = std::count_if(log.begin(), log.end(), [](const std::string& line) {
        return line.rfind("@Error ", 0) == 0 && line.find("(netClock_Error)") != std::string::npos;
    });
    const auto timeouts = std::count(log.begin(), log.end(), timeoutNotice);

    EXPECT_LE(elapsedMs, boundMs(notices)) << ::testing::PrintToString(log);

    if (logging && limits.timeout > 0) {
        // A wait that ends on the clock's second may beat an attempt's own time-out, but the
        // last attempt's notice still comes in the closing pause.
        EXPECT_GE(timeouts, 1) << ::testing::PrintToString(log);
        EXPECT_LE(timeouts, attempts);
    } else {
        EXPECT_EQ(timeouts, 0) << ::testing::PrintToString(log);
    }
    EXPECT_EQ(notices, timeouts) << ::testing::PrintToString(log);
    if (logging) {
        EXPECT_EQ(std::count(log.begin(), log.end(), "@ --> Sending Query to stuck.test on port 123"), attempts);
        EXPECT_EQ(std::count(log.begin(), log.end(), "@ --- Server Time: n/a"), 1);
    }

    // Every attempt waits on the one lookup the first began: one resolver, however many retries.
    EXPECT_EQ(net.lookups.size(), 1U);
}

std::string NameOf(const ::testing::TestParamInfo<std::tuple<Limits, bool>>& info) {
    const auto [limits, logging] = info.param;
    std::ostringstream name;
    for (const auto& [letter, n] : {std::pair{'T', limits.timeout}, std::pair{'R', limits.retries}}) {
        name << letter << (n < 0 ? "Minus" : "") << std::abs(n);
    }
    name << (logging ? "WithLog" : "WithoutLog");
    return name.str();
}

INSTANTIATE_TEST_SUITE_P(Limits, ResolverNeverAnswers,
                         ::testing::Combine(::testing::Values(Limits{1, 0}, Limits{3, 2}, Limits{0, 2}, Limits{-1, 1},
                                                              Limits{2, -3}),
                                            ::testing::Bool()),
                         NameOf);

// An error escaping the resolver's thread would end the process through abort; on the
// caller's thread it would end the run as unhandled. Either way it is a failed lookup.
TEST(BackgroundLookup, AResolverThatThrowsGivesAFailedLookup) {
    using platform::NetError;
    const std::vector<std::pair<std::function<void()>, NetError>> cases{
        {[] { throw std::bad_alloc(); }, NetError::OutOfResources},
        {[] { throw std::runtime_error("resolver"); }, NetError::Other},
        {[] { throw 7; }, NetError::Other}};
    for (const auto& [raise, kind] : cases) {
        for (const bool onItsThread : {false, true}) {
            const auto resolve = [raise = raise, onItsThread](const std::string&, std::uint16_t, bool numericOnly) {
                if (numericOnly && onItsThread) return platform::LookupOutcome{{}, {NetError::NameNotFound, 0}};
                raise();
                return platform::LookupOutcome{};
            };
            const auto lookup = platform::StartNameLookup("name.test", 123, resolve, {NetError::NameNotFound, 0});
            ASSERT_EQ(testing::AwaitLookup(*lookup), platform::LookupStatus::Failed) << onItsThread;
            EXPECT_EQ(lookup->Failure().kind, kind) << onItsThread;
        }
    }
}

}  // namespace
}  // namespace pelldor::dropin
