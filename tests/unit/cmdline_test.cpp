#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "cmdline/argument_reader.h"
#include "cmdline/information.h"
#include "cmdline/tokenizer.h"
#include "foundation/run_error.h"
#include "support/run_fixture.h"

namespace pelldor {
namespace {

using testing::ProcessEnd;
using testing::RunFixture;

// The non-empty prefix of the token table; every slot after it must be empty.
std::vector<std::string> Split(const std::string& tail) {
    Tokens tokens{};
    SplitCommandLine(tail, tail.size(), tokens);
    std::size_t used = tokens.size();
    while (used > 0 && tokens[used - 1].empty()) --used;
    return {tokens.begin(), tokens.begin() + static_cast<long>(used)};
}

TEST(SplitCommandLine, SeparatorsQuotesAndTheLastSlot) {
    struct Case {
        std::string tail;
        std::vector<std::string> tokens;
    };
    const std::vector<Case> cases = {
        {"", {}},
        {"5 2 example:123", {"5", "2", "example:123"}},
        {"5  2", {"5", "", "2"}},
        {" 5", {"", "5"}},
        {"5\t2\texample:123", {"5", "2", "example:123"}},
        {"\"a b\"", {"a b"}},
        {"ab\"cd\" e\"f", {"abcd", "ef"}},
        {"ab\"cd e\"f", {"abcd ef"}},
        {"a\"\"b \"\" c", {"ab", "", "c"}},
        {"5 2 \"my host:123", {"5", "2", "my host:123"}},
        {"\"a\tb\" c", {"a\tb", "c"}},
        {"1 2 3 4 5 6 7 8 9 10 11 12 13 14", {"1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12", "13 14"}},
        {"1 2 3 4 5 6 7 8 9 10 11 12  \t13", {"1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12", " \t13"}},
    };
    for (const auto& c : cases) EXPECT_EQ(Split(c.tail), c.tokens) << "tail: [" << c.tail << "]";
}

TEST(SplitCommandLine, ALengthOf32767OrMoreOverflows) {
    // Counted in the system's units: on Windows 12,000 CJK characters are 12,000 UTF-16 code
    // units, though 36,000 bytes of UTF-8.
    std::string cjk;
    for (int i = 0; i < 12'000; ++i) cjk += "\xe6\x99\x82";
    for (const auto& [tail, length, overflows] : std::vector<std::tuple<std::string, std::size_t, bool>>{
             {std::string(32766, 'a'), 32766, false}, {std::string(32767, 'a'), 32767, true},
             {std::string(32768, 'a'), 32768, true}, {std::string(70000, 'a'), 70000, true},
             {cjk, 12'000, false}, {cjk, cjk.size(), true}}) {
        Tokens tokens{};
        try {
            SplitCommandLine(tail, length, tokens);
            EXPECT_FALSE(overflows) << length;
            EXPECT_EQ(tokens[0], tail);
        } catch (const RunError& e) {
            EXPECT_TRUE(overflows) << length;
            EXPECT_EQ(e.kind(), ErrorKind::Overflow);
        }
    }
}

TEST(ParseInteger, AcceptsSignedDecimalsAndNothingElse) {
    struct Case {
        std::string text;
        std::optional<long long> value;
    };
    const std::vector<Case> cases = {
        {"0", 0},     {"5", 5},         {"+5", 5},     {"-30", -30},     {"007", 7},
        {" 12\t", 12}, {"32767", 32767}, {"-9223372036854775808", std::numeric_limits<long long>::min()},
        {"9223372036854775807", std::numeric_limits<long long>::max()},
        {"9223372036854775808", std::nullopt},
        {"99999999999999999999999", std::nullopt},
        {"", std::nullopt},   {" ", std::nullopt},   {"-", std::nullopt},  {"+-1", std::nullopt},
        {"1.5", std::nullopt}, {"1e3", std::nullopt}, {"x", std::nullopt}, {"0x10", std::nullopt},
        {"1 2", std::nullopt}, {"b:c", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(ParseInteger(c.text), c.value) << "text: [" << c.text << "]";
}

class ReadArgumentsTest : public RunFixture {};

TEST_F(ReadArgumentsTest, FillsSettingsAndTheOneServerRow) {
    struct Case {
        std::string tail;
        std::int16_t timeout, retries, count;
        std::string host;
        std::int32_t port;
    };
    const std::vector<Case> cases = {
        {"5 2 example:123", 5, 2, 1, "example", 123},
        {"5 2 example:123 other:456", 5, 2, 1, "example", 123},
        {"5 2", 5, 2, 0, "", 0},
        {"", 0, 0, 0, "", 0},
        {"5 2 example", 5, 2, 1, "", 0},
        {"5 2 :123", 5, 2, 1, "", 123},
        {"-1 -3 h:-5", -1, -3, 1, "h", -5},
        {"\"\" 2 h:1", 0, 2, 1, "h", 1},
        {"5 2 \"my host:123\"", 5, 2, 1, "my host", 123},
        {"5 2 h:70000", 5, 2, 1, "h", 70000},
        {"32767 -32768 h:2147483647", 32767, -32768, 1, "h", 2147483647},
        {"5 2 [::1]:123", 5, 2, 1, "::1", 123},
        {"5 2 [2001:db8::1]:65535", 5, 2, 1, "2001:db8::1", 65535},
        {"5 2 [fe80::1%eth0]:123", 5, 2, 1, "fe80::1%eth0", 123},
        {"5 2 []:123", 5, 2, 1, "", 123},
        // Without "]:" a bracket is an ordinary character, as it always was.
        {"5 2 [abc:123", 5, 2, 1, "[abc", 123},
        {"5 2 a[b]:123", 5, 2, 1, "a[b]", 123},
    };
    for (const auto& c : cases) {
        runState = RunState{};
        os->tail = c.tail;
        ReadArguments();
        SCOPED_TRACE(c.tail);
        EXPECT_EQ(runState.TimeoutSeconds, c.timeout);
        EXPECT_EQ(runState.RetryLimit, c.retries);
        EXPECT_EQ(runState.ServerCount, c.count);
        EXPECT_EQ(runState.Servers(1).Host, c.host);
        EXPECT_EQ(runState.Servers(1).Port, c.port);
        EXPECT_EQ(runState.Servers(1).Status, 0);
        EXPECT_EQ(runState.Servers(2).Host, "");
    }
    EXPECT_FALSE(os->files.count(os->LogPath())) << "nothing is logged with logging off";
}

TEST_F(ReadArgumentsTest, ArgumentErrorsLeaveNoServerWhenLoggingIsOff) {
    for (const std::string tail : {"x 2 example:123", "5 y", "5 2 example:", "5 2 a:b:c", "5 2 h:2147483648",
                                   "32768 2 h:1", "5 -32769 h:1", "5.5 2 h:1", "5 2 h: 1", "5 2 [::1]",
                                   "5 2 [::1]:", "5 2 [::1]:x", "5 2 [::1]123"}) {
        runState = RunState{};
        os->tail = tail;
        os->sleptMilliseconds = 0;
        ReadArguments();
        EXPECT_EQ(runState.ServerCount, 0) << tail;
        EXPECT_EQ(os->sleptMilliseconds, 0) << tail;
    }
    // What was read before the error stays read.
    runState = RunState{};
    os->tail = "5 2 a:b:c";
    ReadArguments();
    EXPECT_EQ(runState.TimeoutSeconds, 5);
    EXPECT_EQ(runState.Servers(1).Host, "a");
}

TEST_F(ReadArgumentsTest, ArgumentErrorWithLoggingEndsTheProgramAfterHalfASecond) {
    CreateSwitchFile();
    runState.DebugOn = kTrue16;
    os->tail = "x 2 example:123";
    try {
        ReadArguments();
        FAIL() << "ReadArguments returned";
    } catch (const ProcessEnd& end) {
        EXPECT_EQ(end.way, ProcessEnd::Way::Normal);
    }
    EXPECT_EQ(os->sleptMilliseconds, 500);
    EXPECT_EQ(Log(), (std::vector<std::string>{"@ CommandLine = x 2 example:123", "@ Argument Error"}));
}

TEST_F(ReadArgumentsTest, OverlongTailFailsBeforeTheCommandLineIsLogged) {
    CreateSwitchFile();
    runState.DebugOn = kTrue16;
    os->tail = "5 2 h:1 " + std::string(32767, 'z');
    EXPECT_THROW(ReadArguments(), ProcessEnd);
    EXPECT_EQ(Log(), (std::vector<std::string>{"@ Argument Error"}));
}

TEST_F(ReadArgumentsTest, FailedCommandLineEntryMakesTheHandlersOwnEntryFailToo) {
    CreateSwitchFile();
    runState.DebugOn = kTrue16;
    os->failingAppends.insert(os->LogPath());
    os->tail = "5 2 h:1";
    try {
        ReadArguments();
        FAIL() << "ReadArguments returned";
    } catch (const RunError& e) {
        EXPECT_EQ(e.kind(), ErrorKind::FileOperation);
    }
    EXPECT_EQ(os->appendCalls, 2);
}

TEST(Information, OnlyTheWholeCommandLineAsksForIt) {
    const auto version = InformationFor("--version");
    ASSERT_TRUE(version.has_value());
    EXPECT_TRUE(version->starts_with("pelldor ")) << *version;
    EXPECT_EQ(version->find_first_not_of("0123456789.", 8), version->size() - 1) << *version;
    EXPECT_EQ(version->back(), '\n');
    for (const char* tail : {"", "--Version", " --version", "--version ", "--help x", "5 2 h:123", "-h", "\"--help\""}) {
        EXPECT_FALSE(InformationFor(tail).has_value()) << tail;
    }
}

TEST_F(ReadArgumentsTest, HelpIsAnsweredBeforeAnyOfTheRunHappens) {
    CreateSwitchFile();
    os->tail = "--help";
    try {
        AnswerInformationRequest();
        FAIL() << "the run went on";
    } catch (const ProcessEnd& end) {
        EXPECT_EQ(end.way, ProcessEnd::Way::Exit);
        EXPECT_EQ(end.status, 0);
    }
    EXPECT_TRUE(os->standardOutput.starts_with("Usage: pelldor TIMEOUT RETRIES HOST:PORT\n")) << os->standardOutput;
    EXPECT_NE(os->standardOutput.find("/opt/pelldor/ntpdebug.txt"), std::string::npos) << os->standardOutput;
    EXPECT_EQ(os->files[os->LogPath()], "") << "nothing logged";
    EXPECT_EQ(os->sleepCalls, 0);

    os->tail = "5 2 h:123";
    os->standardOutput.clear();
    AnswerInformationRequest();
    EXPECT_EQ(os->standardOutput, "");
}

}  // namespace
}  // namespace pelldor
