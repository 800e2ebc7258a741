#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dropin/run_error.h"
#include "dropin/server_check.h"
#include "dropin/sntp_client.h"
#include "support/fake_network.h"
#include "support/run_fixture.h"

namespace pelldor::dropin {
namespace {

using testing::FakeTimeClient;

constexpr std::int64_t kMs = 1'000'000;
constexpr std::int64_t kSecond = 1'000'000'000;

class ServerCheckTest : public testing::RunFixture {
protected:
    void Server(std::int16_t timeout, std::int16_t retries, const std::string& host = "ntp.example",
                std::int32_t port = 123) {
        state.TimeoutSeconds = timeout;
        state.RetryLimit = retries;
        state.ServerCount = 1;
        state.Servers(1) = {host, port, 0};
    }
    std::int16_t Check() {
        CheckNtpStatus(form, state, 1);
        return state.Servers(1).Status;
    }
};

// Attempts until one is answered or the retry limit is spent, each with its sending line,
// then the times. The first poll after the 300 ms of the sending line takes an answer.
TEST_F(ServerCheckTest, AttemptsUntilAnAnswerOrTheRetryLimit) {
    struct Case {
        std::int16_t timeout, retries;
        std::vector<std::optional<FakeTimeClient::Outcome>> script;
        std::int16_t status;
        std::int16_t attempts;
        std::int64_t waitedMs;
        std::vector<std::string> log;
    };
    const std::string sending = "@ --> Sending Query to ntp.example on port 123";
    const Case cases[] = {
        {5, 2, {FakeTimeClient::Answer(0)}, 100, 1, 320,
         {sending, "@ --- Server Time: 2026-12-08 12:00:00", "@ --- Local  Time: 2026-12-08 12:00:00"}},
        // Each wait ends at the first poll in the whole second after its deadline: xx:06.010,
        // xx:12.010, xx:18.010.
        {5, 2, {}, 0, 3, 17'760, {sending, sending, sending, "@ --- Server Time: n/a", "@ --- Local  Time: 2026-12-08 12:00:18"}},
        // Silent until xx:02.010; a notice 30 ms into the second attempt, and its own pause.
        {1, 5, {std::nullopt, FakeTimeClient::Raise(30, 5, "No answer within 1 s"), FakeTimeClient::Answer(-kSecond)}, 100,
         3, 1760 + 300 + 40 + 300 + 320,
         {sending, sending, "@Error 5: No answer within 1 s (netClock_Error)", sending,
          "@ --- Server Time: 2026-12-08 12:00:01", "@ --- Local  Time: 2026-12-08 12:00:02"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.log.back());
        state = RunState{};
        m.files.files.clear();
        m.clock.wallNanos = testing::FakeClock::kStartUnixNanos;
        m.clock.waitedNanos = 0;
        client.calls.clear();
        client.script.assign(c.script.begin(), c.script.end());
        LogOn();
        Server(c.timeout, c.retries);
        EXPECT_EQ(Check(), c.status);
        EXPECT_EQ(state.AttemptCount, c.attempts);
        EXPECT_EQ(Log(), c.log);
        EXPECT_EQ(m.clock.waitedNanos, c.waitedMs * kMs);
        std::vector<std::string> calls;
        for (int n = 0; n < c.attempts; ++n) {
            calls.insert(calls.end(), {"QueryTimeout=" + std::to_string(c.timeout), "QueryHost=ntp.example", "QueryPort=123",
                                       "BeginQuery"});
        }
        EXPECT_EQ(client.calls, calls);
    }
}

TEST_F(ServerCheckTest, VerdictBoundaryOnWholeSecondsTruncated) {
    // The virtual clock stands at 12:00:00.230 local when the answer is taken.
    struct Case {
        std::int64_t offsetNanos;
        std::int16_t status;
    };
    const std::vector<Case> cases = {
        {0, 100},
        {-3 * kSecond, 100},
        {-3 * kSecond - 200 * kMs, 100},  // 11:59:57.03 reads as 57: three behind
        {-3 * kSecond - 300 * kMs, 0},    // 11:59:56.93 reads as 56: four behind
        {-4 * kSecond, 0},
        {-3600 * kSecond, 0},
        {+1 * kSecond, 100},
        {+30 * kSecond, 100},
        {+86400LL * 365 * kSecond, 100},
    };
    for (const auto& c : cases) {
        m.clock.wallNanos = testing::FakeClock::kStartUnixNanos - 30 * kMs;
        Server(1, 0);
        client.script.push_back(FakeTimeClient::Answer(c.offsetNanos, 0));
        EXPECT_EQ(Check(), c.status) << "offset " << c.offsetNanos / kMs << " ms";
    }
}

TEST_F(ServerCheckTest, AZoneChangeDuringTheExchangeMovesNeitherTheVerdictNorTheLoggedLag) {
    // The real client; local time is UTC + 2 h until the request has left, then this.
    struct Case {
        std::int64_t zoneAfter;
        std::int64_t serverBehind;  // seconds
        std::int16_t status;
    };
    for (const Case c : {Case{3600, 10, 0}, Case{3600, 1800, 0}, Case{3600, 0, 100}, Case{10800, 0, 100},
                         Case{10800, 10, 0}}) {
        SCOPED_TRACE(::testing::Message() << "zone " << c.zoneAfter << ", server " << c.serverBehind << " s behind");
        m.files.files.clear();
        m.clock.utcOffsetSeconds = 7200;
        testing::FakeNetwork net{m.clock};
        exchange::Client core{m.clock, net, m.loop};
        SntpClient sntp{core, pacer};
        FrmPelldor real{m.process, log, pacer, sntp};
        net.Resolve("127.0.0.1", {testing::V4(127, 0, 0, 1, 123)});
        net.onSend = [&](testing::FakeChannelRecord& channel) {
            testing::FakeNetwork::Deliver(channel, net.ReplyTo(channel, -c.serverBehind * kSecond));
            m.clock.utcOffsetSeconds = c.zoneAfter;
        };
        LogOn();
        Server(5, 0, "127.0.0.1");
        CheckNtpStatus(real, state, 1);
        EXPECT_EQ(state.Servers(1).Status, c.status);
        const auto log = Log();
        ASSERT_EQ(log.size(), 3u);
        const auto server = ParseTimestamp(log[1].substr(log[1].size() - 19));
        const auto local = ParseTimestamp(log[2].substr(log[2].size() - 19));
        ASSERT_TRUE(server && local) << ::testing::PrintToString(log);
        EXPECT_NEAR(SecondsBetween(*server, *local), c.serverBehind, 1) << ::testing::PrintToString(log);
    }
}

TEST_F(ServerCheckTest, WaitEndsInTheFirstWholeSecondAfterTheDeadline) {
    // Start at xx:00.250: the deadline 5 s on is xx:05, so the wait ends in xx:06.
    struct Case {
        std::int16_t timeout;
        bool logging;
        std::int64_t beginToEndMs;
        std::int64_t zoneJump = 0;  // the zone offset changes by this 0.5 s into the wait
    };
    const std::vector<Case> cases = {
        {5, false, 5760},  // polls fall at .250 + 20 ms steps: xx:06.010
        {5, true, 5460},   // the deadline is fixed before the sending line's pause
        // A daylight-saving change moves neither way: spring forward, fall back.
        {5, false, 5760, 3600},
        {5, false, 5760, -3600},
        {0, false, 760},
        {-1, false, 20},  // already past: the first poll ends it
        {-32768, false, 20},
    };
    for (const auto& c : cases) {
        state = RunState{};
        m.clock.wallNanos = testing::FakeClock::kStartUnixNanos;
        if (c.logging) LogOn();
        Server(c.timeout, 0);
        client.beginMonotonic.clear();
        const std::int64_t zoneBefore = m.clock.utcOffsetSeconds;
        const std::int64_t jumpAt = m.clock.monotonicNanos + 500 * kMs;
        m.clock.onWait = [&] {
            if (m.clock.monotonicNanos >= jumpAt) m.clock.utcOffsetSeconds = zoneBefore + c.zoneJump;
        };
        Check();
        m.clock.onWait = nullptr;
        m.clock.utcOffsetSeconds = zoneBefore;
        ASSERT_EQ(client.beginMonotonic.size(), 1u);
        const std::int64_t waited = (m.clock.monotonicNanos - client.beginMonotonic[0]) / kMs;
        EXPECT_EQ(waited, c.beginToEndMs) << "timeout " << c.timeout << (c.logging ? " logging" : "");
    }
}

TEST_F(ServerCheckTest, WallClockSteppedBackCannotHoldTheWaitPastItsBound) {
    Server(2, 0);
    bool stepped = false;
    m.clock.onWait = [&] {
        if (!stepped && m.clock.waits == 5) {
            m.clock.StepWallClock(-3600 * kSecond);
            stepped = true;
        }
    };
    const std::int64_t start = m.clock.monotonicNanos;
    EXPECT_EQ(Check(), 0);
    EXPECT_TRUE(stepped);
    EXPECT_LE(m.clock.monotonicNanos - start, 3 * kSecond + 20 * kMs);
}

TEST_F(ServerCheckTest, NotificationLengthensThePauseItArrivesIn) {
    for (const bool logging : {false, true}) {
        state = RunState{};
        if (logging) LogOn();
        Server(-1, 0);
        client.script.push_back(FakeTimeClient::Raise(0, -7, "negative"));
        const std::int64_t before = m.clock.waitedNanos / kMs;
        EXPECT_EQ(Check(), 0);
        EXPECT_EQ(m.clock.waitedNanos / kMs - before, logging ? 300 + 20 + 300 : 20);
    }
    EXPECT_EQ(Log()[1], "@Error -7: negative (netClock_Error)");
}

TEST_F(ServerCheckTest, FailedStartOrPollIsNotTheVerdict) {
    Server(1, 0);
    client.failBegin = true;
    client.script.push_back(FakeTimeClient::Answer(0, 50));
    EXPECT_EQ(Check(), 100) << "an answer after a failed BeginQuery still counts";

    Server(3, 0);
    client.failBegin = false;
    client.failQueryDone = true;
    client.script.push_back(FakeTimeClient::Answer(0, 0));
    const std::int64_t before = m.clock.waitedNanos / kMs;
    EXPECT_EQ(Check(), 100) << "a failing QueryDone ends the wait, and the time is read";
    EXPECT_EQ(m.clock.waitedNanos / kMs - before, 20);
}

// A component's error, a time without a text form or an attempt count that overflows: the
// check's own error line, the row's status left as it was, no retry.
TEST_F(ServerCheckTest, ComponentConversionAndCountErrorsTakeTheCheckErrorPath) {
    struct Case {
        const char* what;
        void (*arrange)(FakeTimeClient&);
        std::int16_t retries;
        int begins;
    };
    const std::vector<Case> cases = {
        {"host refused", [](FakeTimeClient& c) { c.failHost = true; }, 3, 0},
        {"time unreadable", [](FakeTimeClient& c) { c.failReceivedTime = true; }, 3, 1},
        {"time without a text form",
         [](FakeTimeClient& c) {
             c.clearOnBegin = false;
             c.received = PreciseLocalTime{{10000, 1, 1, 0, 0, 0}, 0, 0};
         },
         3, 1},
        {"attempt count overflow", [](FakeTimeClient&) {}, 32767, 32768},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        state = RunState{};
        m.files.files.clear();
        client.failHost = client.failReceivedTime = false;
        client.clearOnBegin = true;
        client.begins = 0;
        LogOn();
        Server(-1, c.retries, "h", 9);
        state.Servers(1).Status = 42;
        c.arrange(client);
        EXPECT_EQ(Check(), 42) << "Status is left as it was";
        EXPECT_EQ(client.begins, c.begins);
        const auto log = Log();
        ASSERT_FALSE(log.empty());
        EXPECT_EQ(log.back(), "@ Error When Sending Query to h on port 9 (modPelldor_CheckNtpStatus)");
    }
}

TEST_F(ServerCheckTest, StaleTimeIsTakenWhenTheClientKeepsIt) {
    client.clearOnBegin = false;
    for (const auto& [ageSeconds, status] : {std::pair{10, 0}, std::pair{1, 100}}) {
        const auto now = m.clock.ReadWallClock();
        client.received =
            PreciseLocalTime{AddSeconds(now.local, -ageSeconds), 0, ZoneOffsetSeconds(now)};
        Server(-1, 0);
        EXPECT_EQ(Check(), status) << "age " << ageSeconds;
    }
}

// A row outside the table, or the check's own error line that cannot be logged.
TEST_F(ServerCheckTest, ErrorsOfTheCheckItselfPassUpOnlyWhenTheirLineIsDue) {
    Server(1, 0);
    for (const std::int16_t n : {0, 11, -1}) {
        EXPECT_NO_THROW(CheckNtpStatus(form, state, n)) << n;
    }
    EXPECT_EQ(client.begins, 0);
    // With logging on, the handler's own line names the row, so the error passes up.
    LogOn();
    EXPECT_THROW(CheckNtpStatus(form, state, 11), RunError);
    client.failHost = true;
    m.clock.onWait = [&] { m.files.failingAppends.insert(m.files.LogPath()); };
    EXPECT_THROW(CheckNtpStatus(form, state, 1), RunError);
}

}  // namespace
}  // namespace pelldor::dropin
