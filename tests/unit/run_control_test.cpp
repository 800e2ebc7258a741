#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dropin/debug_log.h"
#include "dropin/run_error.h"
#include "dropin/run_state.h"
#include "support/fake_network.h"
#include "support/run_fixture.h"

namespace pelldor::dropin {
namespace {

using testing::FakeTimeClient;
using testing::RunFixture;
constexpr std::int64_t kMs = 1'000'000;

class PauseTest : public RunFixture {};

TEST_F(PauseTest, WaitsTenMillisecondStepsDeliveringEventsAfterEach) {
    struct Case {
        std::int16_t ms;
        int steps;
    };
    for (const auto& c : {Case{9, 0}, Case{10, 1}, Case{20, 2}, Case{25, 2}, Case{5, 0}, Case{0, 0},
                          Case{-30, 0}, Case{1000, 100}, Case{32767, 3276}}) {
        m.clock.waits = 0;
        m.clock.waitedNanos = 0;
        int delivered = 0;
        std::vector<int> waitsSeenByEvents;
        // Each delivery finds exactly one event waiting: the one posted after the last wait.
        m.clock.onWait = [&] {
            pacer.Post([&] {
                ++delivered;
                waitsSeenByEvents.push_back(m.clock.waits);
            });
        };
        pacer.Pause(c.ms);
        EXPECT_EQ(m.clock.waits, c.steps) << c.ms;
        EXPECT_EQ(m.clock.waitedNanos, 10 * kMs * c.steps) << c.ms;
        EXPECT_EQ(delivered, c.steps) << c.ms;
        if (c.steps >= 2) {
            EXPECT_EQ(waitsSeenByEvents[1], 2) << "delivered after each step, not at the end";
        }
    }
}

// A handler that pauses runs later events inside its own pause.
TEST_F(PauseTest, WhatAHandlerDoesHappensInsideThePauseThatRunsIt) {
    std::vector<std::string> order;
    pacer.Post([&] {
        order.push_back("first begins");
        pacer.Pause(300);
        order.push_back("first ends");
    });
    pacer.Post([&] { order.push_back("second"); });
    pacer.Pause(10);
    EXPECT_EQ(order, (std::vector<std::string>{"first begins", "second", "first ends"}));
    EXPECT_EQ(m.clock.waitedNanos, 310 * kMs);

    // An error leaving a handler ends the run instead of reaching the pauser.
    pacer.Post([] { throw RunError(ErrorKind::FileOperation, "disk gone"); });
    try {
        pacer.Pause(10);
        FAIL() << "the pause returned";
    } catch (const RunEnded& ended) {
        EXPECT_EQ(ended.end.way, RunEnd::Way::Unhandled);
        EXPECT_EQ(ended.end.message, "file operation: disk gone");
    }
}

TEST_F(PauseTest, FreshStateHasTenEmptyRowsAndBoundsChecks) {
    RunState runState;
    EXPECT_EQ(runState.ServerCount, 0);
    for (std::int16_t n = 1; n <= 10; ++n) {
        const ServerEntry& row = runState.Servers(n);
        EXPECT_TRUE(row.Host.empty() && row.Port == 0 && row.Status == 0) << n;
    }
    for (const std::int16_t n : {0, 11, -1, 32767}) {
        const auto error = testing::ErrorOf([&] { (void)runState.Servers(n); });
        EXPECT_TRUE(error && error->kind() == ErrorKind::Bounds) << n;
    }
}

TEST(CheckedArithmetic, SixteenBitAdditionOverflowIsAnError) {
    EXPECT_EQ(CheckedAdd16(32766, 1), 32767);
    EXPECT_EQ(CheckedAdd16(-32767, -1), -32768);
    EXPECT_THROW((void)CheckedAdd16(32767, 1), RunError);
    EXPECT_THROW((void)CheckedAdd16(-32768, -1), RunError);
    const auto narrowed = testing::ErrorOf([] { (void)CheckedNarrow16(40000); });
    ASSERT_TRUE(narrowed) << "40000 fit";
    // The line of an unhandled error names the kind once.
    EXPECT_STREQ(narrowed->what(), "overflow: 40000 does not fit a 16-bit count");
}

class DebugLogTest : public RunFixture {};

TEST_F(DebugLogTest, SwitchFileTurnsLoggingOnAndAppendsTheStartEntry) {
    // Each case on a fresh log, since the log finds its path as it is made.
    const auto switchedOn = [&] {
        RunState fresh;
        DebugLog log(m.files, m.clock);
        SwitchTest(log, fresh);
        return Logging(fresh);
    };
    EXPECT_FALSE(switchedOn());
    EXPECT_TRUE(m.files.files.empty()) << "no switch file, no log";

    m.files.exeDir = "";
    m.files.files["/ntpdebug.txt"] = "";
    EXPECT_FALSE(switchedOn()) << "the program's folder unknown, no other is guessed";
    m.files.exeDir = "/opt/pelldor";
    m.files.files.clear();

    for (auto* refused : {&m.files.directories, &m.files.unsafe}) {
        refused->insert(m.files.LogPath());
        EXPECT_FALSE(switchedOn()) << "a folder of that name, or a file the safety rule refuses, is no switch";
        refused->clear();
    }

    CreateSwitchFile("earlier run\r\n");
    SwitchTest(log, state);
    EXPECT_EQ(state.DebugOn, -1);
    EXPECT_EQ(m.files.files[m.files.LogPath()], "earlier run\r\n\r\n2026-12-08 12:00:00 Start\r\n");
}

TEST_F(DebugLogTest, EntriesAreAppendedWholeOrTheRunFailsAndStampedAfresh) {
    m.files.exeDir = "/opt/pelldor/";
    DebugLog slashed(m.files, m.clock);
    EXPECT_EQ(slashed.Path(), "/opt/pelldor/ntpdebug.txt");
    slashed.WriteLogLine({"one", "two"});
    slashed.WriteLogLine({"three"});
    EXPECT_EQ(m.files.files["/opt/pelldor/ntpdebug.txt"], "one\r\ntwo\r\nthree\r\n");
    EXPECT_EQ(m.files.appendCalls, 2) << "one append per entry";

    m.files.files.erase("/opt/pelldor/ntpdebug.txt");
    slashed.WriteLogLine({"again"});
    EXPECT_EQ(m.files.files["/opt/pelldor/ntpdebug.txt"], "again\r\n") << "a vanished log is created again";

    // Another program holding the log costs the entry, never the run.
    m.files.heldAppends.insert("/opt/pelldor/ntpdebug.txt");
    slashed.WriteLogLine({"lost"});
    EXPECT_EQ(m.files.files["/opt/pelldor/ntpdebug.txt"], "again\r\n");

    m.files.failingAppends.insert("/opt/pelldor/ntpdebug.txt");
    m.files.heldAppends.clear();
    const auto failed = testing::ErrorOf([&] { slashed.WriteLogLine({"x"}); });
    ASSERT_TRUE(failed) << "no error";
    EXPECT_EQ(failed->kind(), ErrorKind::FileOperation);
    EXPECT_NE(std::string(failed->what()).find("ntpdebug.txt"), std::string::npos);

    // Each entry's timestamp is read afresh, and zero padded.
    m.clock.wallNanos = 1767225599LL * 1'000'000'000 + 999'000'000;  // 2025-12-31 23:59:59.999 UTC
    EXPECT_EQ(log.LogTimestamp(), "2026-01-01 00:59:59");
    m.clock.Advance(1'000'000);
    EXPECT_EQ(log.LogTimestamp(), "2026-01-01 01:00:00");
}

class RunDriverTest : public RunFixture {};

// Whole runs, each with the files as they were before it: how it ends, how long its pauses
// take, and its whole log, in which no text from the command line can forge a line.
TEST_F(RunDriverTest, EachRunEndsAsItsArgumentsAndItsServerSay) {
    using Way = RunEnd::Way;
    struct Case {
        std::string tail;
        bool logging;
        std::optional<FakeTimeClient::Outcome> outcome;
        Way way;
        int status;
        std::int64_t waitedMs;
        std::vector<std::string> log;
    };
    const std::string host = "h\\x09\\x01\\xc3\\xa9";
    const Case cases[] = {
        {"", false, std::nullopt, Way::Normal, 0, 1000, {}},
        {"", true, std::nullopt, Way::Normal, 0, 1000, {"", "@ Start", "@ CommandLine = "}},
        {"5 2 \"ntp host:123\"", true, FakeTimeClient::Answer(0), Way::Exit, 100, 300 + 20 + 500,
         {"", "@ Start", "@ CommandLine = 5 2 \"ntp host:123\"", "@ --> Sending Query to ntp host on port 123",
          "@ --- Server Time: 2026-12-08 12:00:00", "@ --- Local  Time: 2026-12-08 12:00:00", "@ Return Value: 100"}},
        // A silent server: the wait ends at 12:00:02.010, then the result's pause.
        {"1 0 \"h\t\x01\xc3\xa9:123\" \"\r\n2026-12-08 12:00:00 Return Value: 100\"", true, std::nullopt, Way::Exit, 0,
         2260,
         {"", "@ Start", "@ CommandLine = 1 0 \"" + host + ":123\" \"\\r\\n2026-12-08 12:00:00 Return Value: 100\"",
          "@ --> Sending Query to " + host + " on port 123", "@ --- Server Time: n/a",
          "@ --- Local  Time: 2026-12-08 12:00:02", "@ Return Value: 0"}},
        // No result pause without logging.
        {"1 0 h:123", false, FakeTimeClient::Answer(-5'000'000'000), Way::Exit, 0, 20, {}},
        // With logging off an argument error takes the no-server path.
        {"x 2 h:123", false, std::nullopt, Way::Normal, 0, 1000, {}},
        {"x 2 h:123", true, std::nullopt, Way::Normal, 0, 500,
         {"", "@ Start", "@ CommandLine = x 2 h:123", "@ Argument Error"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tail);
        m.files.files.clear();
        m.clock.wallNanos = testing::FakeClock::kStartUnixNanos;
        m.clock.waitedNanos = 0;
        client.begins = 0;
        client.script.assign({c.outcome});
        if (c.logging) CreateSwitchFile();
        m.process.tail = c.tail;
        const RunEnd end = RunToEnd();
        EXPECT_EQ(end.way, c.way);
        EXPECT_EQ(end.status, c.status);
        EXPECT_EQ(m.clock.waitedNanos, c.waitedMs * kMs);
        EXPECT_EQ(Log(), c.log);
        EXPECT_EQ(m.files.files.empty(), !c.logging) << "no switch file, no log";
        // Only a run with a server asks it, once with no retries.
        EXPECT_EQ(client.begins, c.way == Way::Exit ? 1 : 0);
    }
}

// Wherever the log fails, the run ends as unhandled: at the start, in the argument reader,
// in the server check, in a notice's handler. A handler's own entry never stands in for
// the lost one.
TEST_F(RunDriverTest, ALogThatFailsEndsTheRunAsUnhandledWhereverItFails) {
    struct Case {
        const char* where;
        std::string tail;
        int appendsBefore;  // entries that go in before the log fails
        std::optional<FakeTimeClient::Outcome> outcome;
    };
    const Case cases[] = {
        {"the start entry", "5 2 h:123", 0, std::nullopt},
        {"the command line entry", "5 2 h:123", 1, std::nullopt},
        {"an argument error's entry", "x 2 h:123", 2, std::nullopt},
        {"the sending entry", "5 0 h:123", 2, std::nullopt},
        {"the times' entry", "5 0 h:123", 3, FakeTimeClient::Answer(0)},
        {"a notice's entry", "5 0 h:123", 3, FakeTimeClient::Raise(100, 4, "Network error")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.where);
        m.files.files.clear();
        client.begins = 0;
        client.script.assign({c.outcome});
        CreateSwitchFile();
        m.files.appendsLeft = c.appendsBefore;
        m.process.tail = c.tail;
        const RunEnd end = RunToEnd();
        EXPECT_EQ(end.way, RunEnd::Way::Unhandled) << end.message;
        EXPECT_TRUE(end.message.starts_with("file operation: cannot append to /opt/pelldor/ntpdebug.txt: "))
            << end.message;
        EXPECT_EQ(m.files.LogLines().size(), c.appendsBefore == 0 ? 0u : c.appendsBefore + 1u)
            << "no entry after the failed one";
        EXPECT_TRUE(c.appendsBefore > 0 || client.begins == 0) << "the run went on without its log";
    }
}

TEST_F(RunDriverTest, AnUnhandledErrorIsOneLineOnStandardErrorAndStatusOne) {
    // A folder whose name holds a line break: the line stays one line.
    m.files.exeDir = "/opt/nl\nReturn Value: 100";
    CreateSwitchFile();
    m.files.failingAppends.insert(m.files.LogPath());
    m.process.tail = "5 2 h:123";
    testing::FakeNetwork net(m.clock);
    EXPECT_EQ(RunDropIn(m.process, m.clock, m.files, net, m.loop), 1);
    EXPECT_EQ(m.process.standardError,
              "pelldor: unhandled error: file operation: cannot append to /opt/nl\\nReturn Value: 100/ntpdebug.txt: "
              "Permission denied\n");
}

TEST_F(RunDriverTest, LogDeletedDuringTheRunIsCreatedAgain) {
    CreateSwitchFile("kept\r\n");
    m.process.tail = "5 0 h:123";
    client.script.push_back(FakeTimeClient::Answer(0));
    m.clock.onWait = [&] {
        if (m.clock.waits == 1) m.files.files.erase(m.files.LogPath());
    };
    EXPECT_EQ(RunToEnd().status, 100);
    EXPECT_EQ(Log(), (std::vector<std::string>{"@ --- Server Time: 2026-12-08 12:00:00",
                                               "@ --- Local  Time: 2026-12-08 12:00:00", "@ Return Value: 100"}));
}

}  // namespace
}  // namespace pelldor::dropin
