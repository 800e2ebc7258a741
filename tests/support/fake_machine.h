#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "foundation/loop.h"
#include "foundation/time_math.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/process.h"

// A virtual machine for unit tests and fuzzers, free of any test framework, one fake per
// role: clocks that move only when the program waits (or a test moves them), files in
// memory, and a process whose command line and standard streams a test sets and reads.
namespace pelldor::testing {

// Told what the program did that no test or fuzz target scripted; the unit tests fail the
// test, the fuzzers abort. Without one, the process aborts.
using UnexpectedUse = std::function<void(const std::string& what)>;
void ReportUnexpected(const UnexpectedUse& report, const std::string& what);

class FakeClock final : public platform::Clock {
public:
    // Local time is UTC plus utcOffsetSeconds, this many unless a test changes it.
    static constexpr std::int64_t kUtcOffsetSeconds = 3600;
    // 2026-12-08 11:00:00 UTC, i.e. 12:00:00 local, plus a quarter second.
    static constexpr std::int64_t kStartUnixNanos = 1796727600LL * 1'000'000'000 + 250'000'000;
    // The longest single wait, so that a wait without end still returns.
    static constexpr std::int64_t kLongestWait = 3600LL * 1'000'000'000;

    platform::WallReading ReadWallClock() override { return {AddNanos(platform::UnixTime{}, wallNanos), LocalAt(wallNanos)}; }
    std::int64_t MonotonicNanos() override { return monotonicNanos; }
    // Moves the virtual clocks to `until`, or to the moment a watched channel has something
    // to receive (which `arrival` tells, for channels of the fake network).
    void WaitUntil(std::int64_t until, std::span<platform::Channel* const> watched) override;

    // Moves both clocks without a wait (time spent working).
    void Advance(std::int64_t nanos) { wallNanos += nanos, monotonicNanos += nanos; }
    // Steps only the wall clock, as a clock adjustment would.
    void StepWallClock(std::int64_t nanos) { wallNanos += nanos; }
    [[nodiscard]] platform::LocalDateTime LocalAt(std::int64_t unixNanos) const {
        return FromSerialSeconds(AddNanos(platform::UnixTime{}, unixNanos).seconds + utcOffsetSeconds);
    }

    std::int64_t wallNanos = kStartUnixNanos;
    std::int64_t utcOffsetSeconds = kUtcOffsetSeconds;
    std::int64_t monotonicNanos = 1'000'000'000;
    // Waits that moved the clocks, and how far they moved them in all.
    int waits = 0;
    std::int64_t waitedNanos = 0;
    // Called after every such wait, the virtual time already moved on.
    std::function<void()> onWait;
    // When a channel can next be read, for the fake network; nullopt when never.
    std::function<std::optional<std::int64_t>(const platform::Channel&)> arrival;
    UnexpectedUse onUnexpected;
};

class FakeFiles final : public platform::Files {
public:
    std::string ExecutableDirectory() override { return exeDir; }
    char PathSeparator() const override { return '/'; }
    bool IsSafeRegularFile(const std::string& path) override { return files.count(path) != 0 && !unsafe.count(path); }
    platform::Appended AppendToFile(const std::string& path, std::string_view text) override;

    [[nodiscard]] std::string LogPath() const { return exeDir + "/ntpdebug.txt"; }
    // The log split into lines at CR LF; a line without its CR is an unexpected use.
    [[nodiscard]] std::vector<std::string> LogLines() const;

    std::string exeDir = "/opt/pelldor";
    std::map<std::string, std::string> files;
    std::set<std::string> directories;
    std::set<std::string> unsafe;          // files that the safety rule refuses
    std::set<std::string> failingAppends;  // an append to one of these fails
    std::set<std::string> heldAppends;     // another program holds these without sharing
    int appendsLeft = -1;  // when not negative: appends that still go in before all fail
    int appendCalls = 0;
    UnexpectedUse onUnexpected;
};

class FakeProcess final : public platform::Process {
public:
    std::string ProgramName() override { return "pelldor"; }
    std::string CommandLineTail() override { return tail; }
    std::vector<std::string> Arguments() override { return arguments; }
    void WriteStandardOutput(std::string_view text) override { standardOutput.append(text); }
    void WriteStandardError(std::string_view text) override { standardError.append(text); }
    void DispatchSystemMessages() override { ++dispatches; }
    void SetStop(int status, std::string_view line) override {
        stopStatus = status;
        stopLine = line;
    }

    std::string tail;
    std::vector<std::string> arguments;
    std::string standardOutput;
    std::string standardError;
    int dispatches = 0;
    int stopStatus = 1;
    std::string stopLine;
};

// The three of them and the loop over them, as a test or a fuzz target needs them.
struct FakeMachine {
    explicit FakeMachine(UnexpectedUse onUnexpected = {}) {
        clock.onUnexpected = onUnexpected;
        files.onUnexpected = std::move(onUnexpected);
    }
    FakeMachine(const FakeMachine&) = delete;
    FakeMachine& operator=(const FakeMachine&) = delete;

    FakeClock clock;
    FakeFiles files;
    FakeProcess process;
    Loop loop{clock, process};
};

}  // namespace pelldor::testing
