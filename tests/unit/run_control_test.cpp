#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "foundation/debug_log.h"
#include "foundation/run_error.h"
#include "foundation/run_state.h"
#include "support/run_fixture.h"

namespace pelldor {
namespace {

using testing::ProcessEnd;
using testing::RunFixture;

class PauseTest : public RunFixture {};

TEST_F(PauseTest, SleepsTenMillisecondTicksDeliveringEventsAfterEach) {
    struct Case {
        std::int16_t ms;
        int ticks;
    };
    for (const auto& c : {Case{9, 0}, Case{10, 1}, Case{20, 2}, Case{25, 2}, Case{5, 0}, Case{0, 0},
                          Case{-30, 0}, Case{1000, 100}, Case{32767, 3276}}) {
        os->sleepCalls = 0;
        os->sleptMilliseconds = 0;
        int delivered = 0;
        std::vector<int> sleepsSeenByEvents;
        // Each delivery finds exactly one event waiting: the one posted after the last sleep.
        os->onSleep = [&] {
            os->Events().Post([&] {
                ++delivered;
                sleepsSeenByEvents.push_back(os->sleepCalls);
            });
        };
        Pause(c.ms);
        EXPECT_EQ(os->sleepCalls, c.ticks) << c.ms;
        EXPECT_EQ(os->sleptMilliseconds, 10LL * c.ticks) << c.ms;
        EXPECT_EQ(delivered, c.ticks) << c.ms;
        if (c.ticks >= 2) {
            EXPECT_EQ(sleepsSeenByEvents[1], 2) << "delivered after each tick, not at the end";
        }
    }
}

TEST_F(PauseTest, HandlerThatPausesRunsLaterEventsInsideItsOwnPause) {
    std::vector<std::string> order;
    os->Events().Post([&] {
        order.push_back("first begins");
        Pause(300);
        order.push_back("first ends");
    });
    os->Events().Post([&] { order.push_back("second"); });
    Pause(10);
    EXPECT_EQ(order, (std::vector<std::string>{"first begins", "second", "first ends"}));
    EXPECT_EQ(os->sleptMilliseconds, 310);
}

TEST_F(PauseTest, ErrorLeavingAHandlerEndsTheRunInsteadOfReachingThePauser) {
    os->Events().Post([] { throw RunError(ErrorKind::FileOperation, "disk gone"); });
    try {
        Pause(10);
        FAIL() << "the pause returned";
    } catch (const ProcessEnd& end) {
        EXPECT_EQ(end.way, ProcessEnd::Way::Unhandled);
        EXPECT_EQ(end.message, "pelldor: unhandled error: file operation: disk gone\n");
    }
}

TEST_F(PauseTest, FreshStateHasTenEmptyRowsAndBoundsChecks) {
    EXPECT_EQ(runState.ServerCount, 0);
    for (std::int16_t n = 1; n <= 10; ++n) {
        const ServerEntry& row = runState.Servers(n);
        EXPECT_EQ(row.Host, "");
        EXPECT_EQ(row.Port, 0);
        EXPECT_EQ(row.Status, 0);
    }
    for (const std::int16_t n : {0, 11, -1, 32767}) {
        try {
            (void)runState.Servers(n);
            ADD_FAILURE() << n;
        } catch (const RunError& e) {
            EXPECT_EQ(e.kind(), ErrorKind::Bounds);
        }
    }
}

TEST(CheckedArithmetic, SixteenBitAdditionOverflowIsAnError) {
    EXPECT_EQ(CheckedAdd16(32766, 1), 32767);
    EXPECT_EQ(CheckedAdd16(-32767, -1), -32768);
    EXPECT_THROW((void)CheckedAdd16(32767, 1), RunError);
    EXPECT_THROW((void)CheckedAdd16(-32768, -1), RunError);
    try {
        (void)CheckedNarrow16(40000);
        ADD_FAILURE() << "40000 fit";
    } catch (const RunError& e) {
        // The line of an unhandled error names the kind once.
        EXPECT_STREQ(e.what(), "overflow: 40000 does not fit a 16-bit count");
    }
}

class DebugLogTest : public RunFixture {};

TEST_F(DebugLogTest, SwitchFileTurnsLoggingOnAndAppendsTheStartEntry) {
    SwitchTest();
    EXPECT_FALSE(Logging());
    EXPECT_TRUE(os->files.empty()) << "no switch file, no log";

    os->exeDir = "";
    os->files["/ntpdebug.txt"] = "";
    SwitchTest();
    EXPECT_FALSE(Logging()) << "the program's folder unknown, no other is guessed";
    os->exeDir = "/opt/pelldor";
    os->files.clear();

    os->directories.insert(os->LogPath());
    SwitchTest();
    EXPECT_FALSE(Logging()) << "a folder of that name is not a switch";

    os->directories.clear();
    CreateSwitchFile("earlier run\r\n");
    SwitchTest();
    EXPECT_EQ(runState.DebugOn, -1);
    EXPECT_EQ(os->files[os->LogPath()].substr(0, 13), "earlier run\r\n");
    const std::string entry = os->files[os->LogPath()].substr(13);
    EXPECT_EQ(entry, "\r\n2026-12-08 12:00:00 Start\r\n");
}

TEST_F(DebugLogTest, EntriesAreAppendedWhole) {
    os->exeDir = "/opt/pelldor/";
    EXPECT_EQ(LogFilePath(), "/opt/pelldor/ntpdebug.txt");
    WriteLogLine({"one", "two"});
    WriteLogLine({"three"});
    EXPECT_EQ(os->files["/opt/pelldor/ntpdebug.txt"], "one\r\ntwo\r\nthree\r\n");
    EXPECT_EQ(os->appendCalls, 2) << "one append per entry";

    os->files.erase("/opt/pelldor/ntpdebug.txt");
    WriteLogLine({"again"});
    EXPECT_EQ(os->files["/opt/pelldor/ntpdebug.txt"], "again\r\n") << "a vanished log is created again";
}

TEST_F(DebugLogTest, FailedAppendIsAFileOperationError) {
    os->failingAppends.insert(os->LogPath());
    try {
        WriteLogLine({"x"});
        FAIL() << "no error";
    } catch (const RunError& e) {
        EXPECT_EQ(e.kind(), ErrorKind::FileOperation);
        EXPECT_NE(std::string(e.what()).find("ntpdebug.txt"), std::string::npos);
    }
}

TEST_F(DebugLogTest, TimestampIsReadAfreshAndZeroPadded) {
    os->wallNanos = 1767225599LL * 1'000'000'000 + 999'000'000;  // 2025-12-31 23:59:59.999 UTC
    EXPECT_EQ(LogTimestamp(), "2026-01-01 00:59:59");
    os->Advance(1'000'000);
    EXPECT_EQ(LogTimestamp(), "2026-01-01 01:00:00");
}

TEST(Printable, EscapesWhatIsNotPrintableAsciiAndNothingElse) {
    EXPECT_EQ(Printable("5 2 \"ntp host:123\" C:\\x41 ~"), "5 2 \"ntp host:123\" C:\\x41 ~");
    EXPECT_EQ(Printable("a\r\nb"), "a\\r\\nb");
    EXPECT_EQ(Printable(std::string("\0\t\x1f\x7f\x80\xc3\xa9\xff", 8)), "\\x00\\x09\\x1f\\x7f\\x80\\xc3\\xa9\\xff");
}

class RunDriverTest : public RunFixture {};

TEST_F(RunDriverTest, NoArgumentsPausesOneSecondAndEndsNormally) {
    ProcessEnd end = RunToEnd();
    EXPECT_EQ(end.way, ProcessEnd::Way::Normal);
    EXPECT_EQ(os->sleptMilliseconds, 1000);
    EXPECT_TRUE(os->files.empty());

    runState = RunState{};
    CreateSwitchFile();
    end = RunToEnd();
    EXPECT_EQ(end.way, ProcessEnd::Way::Normal);
    EXPECT_EQ(Log(), (std::vector<std::string>{"", "@ Start", "@ CommandLine = "}));
}

TEST_F(RunDriverTest, HealthyServerExitsWithOneHundredAndTheWholeLog) {
    CreateSwitchFile();
    os->tail = "5 2 \"ntp host:123\"";
    client.script.push_back(testing::FakeTimeClient::Outcome{5, 0, std::nullopt, {}});
    const ProcessEnd end = RunToEnd();
    EXPECT_EQ(end.way, ProcessEnd::Way::Exit);
    EXPECT_EQ(end.status, 100);
    EXPECT_EQ(Log(), (std::vector<std::string>{
                         "",
                         "@ Start",
                         "@ CommandLine = 5 2 \"ntp host:123\"",
                         "@ --> Sending Query to ntp host on port 123",
                         "@ --- Server Time: 2026-12-08 12:00:00",
                         "@ --- Local  Time: 2026-12-08 12:00:00",
                         "@ Return Value: 100",
                     }));
    EXPECT_EQ(os->sleptMilliseconds, 300 + 20 + 500);
}

TEST_F(RunDriverTest, TextFromTheCommandLineCannotForgeLines) {
    CreateSwitchFile();
    os->tail = "1 0 \"h\t\x01\xc3\xa9:123\" \"\r\n2026-12-08 12:00:00 Return Value: 100\"";
    client.script.push_back(std::nullopt);
    const ProcessEnd end = RunToEnd();
    EXPECT_EQ(end.status, 0);
    const std::string host = "h\\x09\\x01\\xc3\\xa9";
    EXPECT_EQ(Log(), (std::vector<std::string>{
                         "",
                         "@ Start",
                         "@ CommandLine = 1 0 \"" + host + ":123\" \"\\r\\n2026-12-08 12:00:00 Return Value: 100\"",
                         "@ --> Sending Query to " + host + " on port 123",
                         "@ --- Server Time: n/a",
                         "@ --- Local  Time: 2026-12-08 12:00:02",
                         "@ Return Value: 0",
                     }));
}

TEST_F(RunDriverTest, VerdictWithoutLoggingLeavesNoTrace) {
    os->tail = "1 0 h:123";
    client.script.push_back(testing::FakeTimeClient::Outcome{5, -5'000'000'000, std::nullopt, {}});
    const ProcessEnd end = RunToEnd();
    EXPECT_EQ(end.way, ProcessEnd::Way::Exit);
    EXPECT_EQ(end.status, 0);
    EXPECT_EQ(os->sleptMilliseconds, 20) << "no result pause without logging";
    EXPECT_TRUE(os->files.empty());
}

TEST_F(RunDriverTest, ArgumentErrorEnds) {
    os->tail = "x 2 h:123";
    EXPECT_EQ(RunToEnd().way, ProcessEnd::Way::Normal);
    EXPECT_EQ(os->sleptMilliseconds, 1000) << "logging off: the no-server path";
    EXPECT_EQ(client.begins, 0);

    runState = RunState{};
    os->sleptMilliseconds = 0;
    CreateSwitchFile();
    EXPECT_EQ(RunToEnd().way, ProcessEnd::Way::Normal);
    EXPECT_EQ(os->sleptMilliseconds, 500);
    EXPECT_EQ(Log(), (std::vector<std::string>{"", "@ Start", "@ CommandLine = x 2 h:123", "@ Argument Error"}));
}

TEST_F(RunDriverTest, SwitchFileThatCannotBeAppendedToEndsAsUnhandledError) {
    CreateSwitchFile();
    os->failingAppends.insert(os->LogPath());
    os->tail = "5 2 h:123";
    try {
        RunDriver();
    } catch (const RunError& e) {
        EXPECT_EQ(e.kind(), ErrorKind::FileOperation);
        EXPECT_EQ(client.begins, 0);
        return;
    } catch (const ProcessEnd&) {
    }
    FAIL() << "the run went on without its log";
}

TEST_F(RunDriverTest, NoticeWhoseLogLineFailsEndsTheRunAsUnhandled) {
    CreateSwitchFile();
    os->tail = "5 0 h:123";
    client.script.push_back(testing::FakeTimeClient::Outcome{100, std::nullopt, std::int16_t{4}, "Network error"});
    os->onSleep = [&] {
        if (os->sleepCalls == 31) os->failingAppends.insert(os->LogPath());
    };
    const ProcessEnd end = RunToEnd();
    EXPECT_EQ(end.way, ProcessEnd::Way::Unhandled);
    EXPECT_EQ(end.status, 1);
    EXPECT_TRUE(end.message.starts_with("pelldor: unhandled error: file operation: cannot append to "
                                        "/opt/pelldor/ntpdebug.txt: "))
        << end.message;
}

TEST_F(RunDriverTest, LogDeletedDuringTheRunIsCreatedAgain) {
    CreateSwitchFile("kept\r\n");
    os->tail = "5 0 h:123";
    client.script.push_back(testing::FakeTimeClient::Outcome{5, 0, std::nullopt, {}});
    os->onSleep = [&] {
        if (os->sleepCalls == 1) os->files.erase(os->LogPath());
    };
    EXPECT_EQ(RunToEnd().status, 100);
    EXPECT_EQ(Log(), (std::vector<std::string>{"@ --- Server Time: 2026-12-08 12:00:00",
                                               "@ --- Local  Time: 2026-12-08 12:00:00", "@ Return Value: 100"}));
}

}  // namespace
}  // namespace pelldor
