#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace pelldor::testing {

// Thrown by the fake platform where the real one would end the process, so a test gets
// control back with the way and status. Deliberately not a std::exception: no handler of
// the program may take it.
struct ProcessEnd {
    using Way = platform::EndWay;
    Way way = Way::Normal;
    int status = 0;
    std::string message;  // what went to standard error, for an unhandled error
};

// Told what the program did that no test or fuzz target scripted; the unit tests fail the
// test, the fuzzers abort. Without one, the process aborts.
using UnexpectedUse = std::function<void(const std::string& what)>;

// A virtual machine for unit tests and fuzzers, free of any test framework: a clock that
// moves only when the program sleeps (or a test moves it), an in-memory file system, and
// network doors a test can script.
class FakePlatform : public platform::Platform {
public:
    // Local time is UTC plus utcOffsetSeconds, this many unless a test changes it.
    static constexpr std::int64_t kUtcOffsetSeconds = 3600;
    // 2026-12-08 11:00:00 UTC, i.e. 12:00:00 local, plus a quarter second.
    static constexpr std::int64_t kStartUnixNanos = 1796727600LL * 1'000'000'000 + 250'000'000;

    FakePlatform();
    ~FakePlatform() override;

    platform::WallReading ReadWallClock() override;
    std::int64_t MonotonicNanos() override { return monotonicNanos; }
    void Sleep(int milliseconds) override;

    std::string ExecutableDirectory() override { return exeDir; }
    char PathSeparator() const override { return '/'; }
    std::string CommandLineTail() override { return tail; }
    std::vector<std::string> Arguments() override { return arguments; }

    bool IsRegularFile(const std::string& path) override;
    std::string AppendToFile(const std::string& path, std::string_view text) override;

    std::uint64_t Random64() override { return nextRandom++; }
    std::unique_ptr<platform::NameLookup> StartLookup(const std::string& host,
                                                      std::uint16_t port) override;
    platform::OpenResult OpenUdp(const platform::NetAddress& peer) override;

    void WriteStandardOutput(std::string_view text) override { standardOutput.append(text); }
    void WriteStandardError(std::string_view text) override { standardError.append(text); }

    // Moves both clocks without a sleep (time spent working).
    void Advance(std::int64_t nanos);
    // Steps only the wall clock, as a clock adjustment would.
    void StepWallClock(std::int64_t nanos) { wallNanos += nanos; }
    [[nodiscard]] platform::LocalDateTime LocalAt(std::int64_t unixNanos) const;
    [[nodiscard]] std::string LogPath() const { return exeDir + "/ntpdebug.txt"; }
    // The log split into lines at CR LF; a line without its CR is an unexpected use.
    [[nodiscard]] std::vector<std::string> LogLines() const;
    // Reports a use of the machine that the test or fuzz target did not script.
    void Unexpected(const std::string& what) const;

    std::int64_t wallNanos = kStartUnixNanos;
    std::int64_t utcOffsetSeconds = kUtcOffsetSeconds;
    std::int64_t monotonicNanos = 1'000'000'000;
    std::int64_t sleptMilliseconds = 0;
    int sleepCalls = 0;
    // Called after every sleep with the virtual time already moved on.
    std::function<void()> onSleep;

    std::string exeDir = "/opt/pelldor";
    std::string standardOutput;
    std::string standardError;
    std::string tail;
    std::vector<std::string> arguments;
    std::map<std::string, std::string> files;
    std::set<std::string> directories;
    std::set<std::string> failingAppends;  // an append to one of these fails
    int appendCalls = 0;

    std::uint64_t nextRandom = 0x0123456789abcdefULL;
    std::function<std::unique_ptr<platform::NameLookup>(const std::string&, std::uint16_t)> lookupHook;
    std::function<platform::OpenResult(const platform::NetAddress&)> openHook;

    UnexpectedUse onUnexpected;

protected:
    void Terminate(platform::EndWay way, int status) override;
};

// Binds a fresh fake platform as the run's for one test or fuzz input and takes it away
// afterwards.
class ScopedFakePlatform {
public:
    explicit ScopedFakePlatform(UnexpectedUse onUnexpected);
    ~ScopedFakePlatform();
    ScopedFakePlatform(const ScopedFakePlatform&) = delete;
    ScopedFakePlatform& operator=(const ScopedFakePlatform&) = delete;
    FakePlatform& operator*() { return platform_; }
    const FakePlatform& operator*() const { return platform_; }
    FakePlatform* operator->() { return &platform_; }

private:
    FakePlatform platform_;
};

}  // namespace pelldor::testing
