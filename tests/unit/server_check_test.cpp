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
using Outcome = FakeTimeClient::Outcome;

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
    void LogOn() {
        CreateSwitchFile();
        state.DebugOn = kTrue16;
    }
    static Outcome AnswerWithOffset(std::int64_t offsetNanos, std::int64_t afterMs = 5) {
        return Outcome{afterMs, offsetNanos, std::nullopt, {}};
    }
    std::int16_t Check() {
        CheckNtpStatus(form, state, 1);
        return state.Servers(1).Status;
    }
};

TEST_F(ServerCheckTest, HealthyServerGivesOneAttemptAndTheTimes) {
    LogOn();
    Server(5, 2);
    client.script.push_back(AnswerWithOffset(0));
    EXPECT_EQ(Check(), 100);
    EXPECT_EQ(client.calls, (std::vector<std::string>{"QueryTimeout=5", "QueryHost=ntp.example", "QueryPort=123",
                                                      "BeginQuery"}));
    EXPECT_EQ(state.AttemptCount, 1);
    EXPECT_EQ(Log(), (std::vector<std::string>{"@ --> Sending Query to ntp.example on port 123",
                                               "@ --- Server Time: 2026-12-08 12:00:00",
                                               "@ --- Local  Time: 2026-12-08 12:00:00"}));
    // The 300 ms after the sending line, then the first 20 ms poll took the answer.
    EXPECT_EQ(m.clock.waitedNanos / kMs, 320);
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
        client.script.push_back(AnswerWithOffset(c.offsetNanos, 0));
        EXPECT_EQ(Check(), c.status) << "offset " << c.offsetNanos / kMs << " ms";
    }
}

TEST_F(ServerCheckTest, SilentServerGetsRetryLimitPlusOneAttempts) {
    LogOn();
    Server(5, 2);
    EXPECT_EQ(Check(), 0);
    EXPECT_EQ(client.begins, 3);
    EXPECT_EQ(state.AttemptCount, 3);
    EXPECT_EQ(Log(), (std::vector<std::string>{
                         "@ --> Sending Query to ntp.example on port 123",
                         "@ --> Sending Query to ntp.example on port 123",
                         "@ --> Sending Query to ntp.example on port 123",
                         "@ --- Server Time: n/a",
                         "@ --- Local  Time: 2026-12-08 12:00:18",
                     }));
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

TEST_F(ServerCheckTest, AnswerOnALaterAttemptEndsTheRetries) {
    LogOn();
    Server(1, 5);
    client.script.push_back(std::nullopt);
    client.script.push_back(Outcome{30, std::nullopt, std::int16_t{5}, "No answer within 1 s"});
    client.script.push_back(AnswerWithOffset(-1 * kSecond));
    EXPECT_EQ(Check(), 100);
    EXPECT_EQ(client.begins, 3);
    const auto log = Log();
    ASSERT_EQ(log.size(), 6u);
    EXPECT_EQ(log[2], "@Error 5: No answer within 1 s (netClock_Error)");
    EXPECT_EQ(log[3], "@ --> Sending Query to ntp.example on port 123");
}

TEST_F(ServerCheckTest, NotificationLengthensThePauseItArrivesIn) {
    for (const bool logging : {false, true}) {
        state = RunState{};
        if (logging) LogOn();
        Server(-1, 0);
        client.script.push_back(Outcome{0, std::nullopt, std::int16_t{-7}, "negative"});
        const std::int64_t before = m.clock.waitedNanos / kMs;
        EXPECT_EQ(Check(), 0);
        EXPECT_EQ(m.clock.waitedNanos / kMs - before, logging ? 300 + 20 + 300 : 20);
    }
    EXPECT_EQ(Log()[1], "@Error -7: negative (netClock_Error)");
}

TEST_F(ServerCheckTest, FailedStartOrPollIsNotTheVerdict) {
    Server(1, 0);
    client.failBegin = true;
    client.script.push_back(AnswerWithOffset(0, 50));
    EXPECT_EQ(Check(), 100) << "an answer after a failed BeginQuery still counts";

    Server(3, 0);
    client.failBegin = false;
    client.failQueryDone = true;
    client.script.push_back(AnswerWithOffset(0, 0));
    const std::int64_t before = m.clock.waitedNanos / kMs;
    EXPECT_EQ(Check(), 100) << "a failing QueryDone ends the wait, and the time is read";
    EXPECT_EQ(m.clock.waitedNanos / kMs - before, 20);
}

TEST_F(ServerCheckTest, ComponentAndConversionErrorsTakeTheCheckErrorPath) {
    struct Case {
        const char* what;
        void (*arrange)(FakeTimeClient&);
    };
    const std::vector<Case> cases = {
        {"host refused", [](FakeTimeClient& c) { c.failHost = true; }},
        {"time unreadable", [](FakeTimeClient& c) { c.failReceivedTime = true; }},
        {"time without a text form",
         [](FakeTimeClient& c) {
             c.clearOnBegin = false;
             c.received = PreciseLocalTime{{10000, 1, 1, 0, 0, 0}, 0, 0};
         }},
    };
    for (const auto& c : cases) {
        state = RunState{};
        m.files.files.clear();
        client.failHost = client.failReceivedTime = false;
        client.clearOnBegin = true;
        client.begins = 0;
        LogOn();
        Server(-1, 3, "h", 9);
        state.Servers(1).Status = 42;
        c.arrange(client);
        EXPECT_EQ(Check(), 42) << c.what << ": Status is left as it was";
        EXPECT_LE(client.begins, 1) << c.what << ": no retry";
        const auto log = Log();
        ASSERT_FALSE(log.empty());
        EXPECT_EQ(log.back(), "@ Error When Sending Query to h on port 9 (modPelldor_CheckNtpStatus)") << c.what;
    }
}

TEST_F(ServerCheckTest, AttemptCountOverflowEndsOnTheErrorPath) {
    LogOn();
    Server(-1, 32767, "h", 1);
    state.Servers(1).Status = 7;
    EXPECT_EQ(Check(), 7);
    EXPECT_EQ(client.begins, 32768);
    EXPECT_EQ(Log().back(), "@ Error When Sending Query to h on port 1 (modPelldor_CheckNtpStatus)");
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

TEST_F(ServerCheckTest, FailingCheckErrorEntryPassesUp) {
    LogOn();
    Server(1, 0);
    client.failHost = true;
    m.clock.onWait = [&] { m.files.failingAppends.insert(m.files.LogPath()); };
    EXPECT_THROW(CheckNtpStatus(form, state, 1), RunError);
}

TEST_F(ServerCheckTest, ServerNumberOutsideTheTableIsABoundsError) {
    Server(1, 0);
    for (const std::int16_t n : {0, 11, -1}) {
        EXPECT_NO_THROW(CheckNtpStatus(form, state, n)) << n;
    }
    EXPECT_EQ(client.begins, 0);
    // With logging on, the handler's own line names the row, so the error passes up.
    LogOn();
    EXPECT_THROW(CheckNtpStatus(form, state, 11), RunError);
}

}  // namespace
}  // namespace pelldor::dropin
