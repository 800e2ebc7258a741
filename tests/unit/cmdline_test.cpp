#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "dropin/argument_reader.h"
#include "dropin/run_error.h"
#include "dropin/tokenizer.h"
#include "support/fake_network.h"
#include "support/run_fixture.h"

namespace pelldor::dropin {
namespace {

using testing::RunFixture;
constexpr std::int64_t kMs = 1'000'000;

// The non-empty prefix of the token table; every slot after it must be empty.
std::vector<std::string> Split(const std::string& tail) {
    Tokens tokens{};
    SplitCommandLine(tail, tail.size(), tokens);
    std::size_t used = tokens.size();
    while (used > 0 && tokens[used - 1].empty()) --used;
    return {tokens.begin(), tokens.begin() + static_cast<long>(used)};
}

TEST(SplitCommandLine, SeparatorsQuotesTheLastSlotAndTheLengthLimit) {
    struct Case {
        std::string tail;
        std::vector<std::string> tokens;
    };
    const std::vector<Case> cases = {
        {"", {}}, {"5 2 example:123", {"5", "2", "example:123"}}, {"5  2", {"5", "", "2"}}, {" 5", {"", "5"}},
        {"5\t2\texample:123", {"5", "2", "example:123"}}, {"\"a b\"", {"a b"}}, {"ab\"cd\" e\"f", {"abcd", "ef"}},
        {"ab\"cd e\"f", {"abcd ef"}}, {"a\"\"b \"\" c", {"ab", "", "c"}}, {"5 2 \"my host:123", {"5", "2", "my host:123"}},
        {"\"a\tb\" c", {"a\tb", "c"}},
        {"1 2 3 4 5 6 7 8 9 10 11 12 13 14", {"1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12", "13 14"}},
        {"1 2 3 4 5 6 7 8 9 10 11 12  \t13", {"1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12", " \t13"}},
    };
    for (const auto& c : cases) EXPECT_EQ(Split(c.tail), c.tokens) << "tail: [" << c.tail << "]";

    // A length of 32,767 or more overflows, counted in the system's units: on Windows 12,000
    // CJK characters are 12,000 UTF-16 code units, though 36,000 bytes of UTF-8.
    std::string cjk;
    for (int i = 0; i < 12'000; ++i) cjk += "\xe6\x99\x82";
    for (const auto& [tail, length, overflows] : std::vector<std::tuple<std::string, std::size_t, bool>>{
             {std::string(32766, 'a'), 32766, false}, {std::string(32767, 'a'), 32767, true},
             {std::string(32768, 'a'), 32768, true}, {std::string(70000, 'a'), 70000, true},
             {cjk, 12'000, false}, {cjk, cjk.size(), true}}) {
        Tokens tokens{};
        const auto error = testing::ErrorOf([&] { SplitCommandLine(tail, length, tokens); });
        EXPECT_EQ(error.has_value(), overflows) << length;
        EXPECT_TRUE(error ? error->kind() == ErrorKind::Overflow : tokens[0] == tail) << length;
    }
}

class ReadArgumentsTest : public RunFixture {
protected:
    bool Read(const std::string& tail) {
        state = RunState{};
        m.process.tail = tail;
        return ReadArguments(m.process, log, pacer, state);
    }
};

TEST_F(ReadArgumentsTest, FillsSettingsAndTheOneServerRow) {
    struct Case {
        std::string tail;
        std::int16_t timeout, retries, count;
        std::string host;
        std::int32_t port;
    };
    const std::vector<Case> cases = {
        {"5 2 example:123", 5, 2, 1, "example", 123}, {"5 2 example:123 other:456", 5, 2, 1, "example", 123},
        {"5 2", 5, 2, 0, "", 0}, {"", 0, 0, 0, "", 0}, {"5 2 example", 5, 2, 1, "", 0}, {"5 2 :123", 5, 2, 1, "", 123},
        {"-1 -3 h:-5", -1, -3, 1, "h", -5}, {"\"\" 2 h:1", 0, 2, 1, "h", 1}, {"\" 12\t\" +2 h:007", 12, 2, 1, "h", 7},
        {"5 2 \"my host:123\"", 5, 2, 1, "my host", 123}, {"5 2 h:70000", 5, 2, 1, "h", 70000},
        {"32767 -32768 h:2147483647", 32767, -32768, 1, "h", 2147483647}, {"5 2 [::1]:123", 5, 2, 1, "::1", 123},
        {"5 2 [2001:db8::1]:65535", 5, 2, 1, "2001:db8::1", 65535}, {"5 2 [fe80::1%eth0]:123", 5, 2, 1, "fe80::1%eth0", 123},
        {"5 2 []:123", 5, 2, 1, "", 123},
        // Without "]:" a bracket is an ordinary character, as it always was.
        {"5 2 [abc:123", 5, 2, 1, "[abc", 123}, {"5 2 a[b]:123", 5, 2, 1, "a[b]", 123},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.tail);
        EXPECT_TRUE(Read(c.tail));
        EXPECT_EQ(std::tuple(state.TimeoutSeconds, state.RetryLimit, state.ServerCount),
                  std::tuple(c.timeout, c.retries, c.count));
        const ServerEntry& row = state.Servers(1);
        EXPECT_EQ(std::tuple(row.Host, row.Port, row.Status), std::tuple(c.host, c.port, 0));
        EXPECT_EQ(state.Servers(2).Host, "");
    }
    EXPECT_FALSE(m.files.files.count(m.files.LogPath())) << "nothing is logged with logging off";
}

TEST_F(ReadArgumentsTest, ArgumentErrorsLeaveNoServerWhenLoggingIsOff) {
    for (const std::string tail : {"x 2 example:123", "5 y", "5 2 example:", "5 2 a:b:c", "5 2 h:2147483648",
                                   "32768 2 h:1", "5 -32769 h:1", "5.5 2 h:1", "5 2 h:1.0", "5 2 h:1e3", "5 2 h:0x10",
                                   "5 2 h:+-1", "5 2 h:-", "5 2 h: 1 2", "5 2 [::1]", "5 2 [::1]:", "5 2 [::1]:x",
                                   "5 2 [::1]123", "5 2 h:99999999999999999999999"}) {
        m.clock.waitedNanos = 0;
        EXPECT_TRUE(Read(tail)) << tail;
        EXPECT_EQ(state.ServerCount, 0) << tail;
        EXPECT_EQ(m.clock.waitedNanos, 0) << tail;
    }
    // What was read before the error stays read.
    EXPECT_TRUE(Read("5 2 a:b:c"));
    EXPECT_EQ(state.TimeoutSeconds, 5);
    EXPECT_EQ(state.Servers(1).Host, "a");
}

TEST_F(ReadArgumentsTest, ArgumentErrorWithLoggingEndsTheRunAfterHalfASecond) {
    LogOn();
    m.process.tail = "x 2 example:123";
    EXPECT_FALSE(ReadArguments(m.process, log, pacer, state));
    EXPECT_EQ(m.clock.waitedNanos, 500 * kMs);
    EXPECT_EQ(Log(), (std::vector<std::string>{"@ CommandLine = x 2 example:123", "@ Argument Error"}));
}

TEST_F(ReadArgumentsTest, OverlongTailFailsBeforeTheCommandLineIsLogged) {
    LogOn();
    m.process.tail = "5 2 h:1 " + std::string(32767, 'z');
    EXPECT_FALSE(ReadArguments(m.process, log, pacer, state));
    EXPECT_EQ(Log(), (std::vector<std::string>{"@ Argument Error"}));
}

TEST_F(ReadArgumentsTest, OnlyTheWholeCommandLineAsksForHelpOrTheVersion) {
    CreateSwitchFile();
    testing::FakeNetwork net(m.clock);
    const auto run = [&](const std::string& tail) {
        m.process.tail = tail;
        m.process.standardOutput.clear();
        return RunDropIn(m.process, m.clock, m.files, net, m.loop);
    };
    EXPECT_EQ(run("--help"), 0);
    EXPECT_TRUE(m.process.standardOutput.starts_with("Usage: pelldor TIMEOUT RETRIES HOST:PORT\n")) << m.process.standardOutput;
    EXPECT_NE(m.process.standardOutput.find("/opt/pelldor/ntpdebug.txt"), std::string::npos) << m.process.standardOutput;
    EXPECT_EQ(run("--version"), 0);
    EXPECT_TRUE(m.process.standardOutput.starts_with("pelldor ")) << m.process.standardOutput;
    EXPECT_EQ(m.process.standardOutput.find_first_not_of("0123456789.", 8), m.process.standardOutput.size() - 1);
    EXPECT_EQ(m.files.files[m.files.LogPath()], "") << "nothing logged";
    EXPECT_EQ(m.clock.waits, 0);
    // Anything else is a run: here, argument errors.
    for (const char* tail : {"--Version", " --version", "--version ", "--help x", "-h", "\"--help\""}) {
        EXPECT_EQ(run(tail), 0) << tail;
        EXPECT_EQ(m.process.standardOutput, "") << tail;
    }
    EXPECT_NE(m.files.files[m.files.LogPath()].find(" Argument Error"), std::string::npos);
}

}  // namespace
}  // namespace pelldor::dropin
