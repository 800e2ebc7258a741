#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace pelldor::fuzz {

// Thrown where the real platform would end the process. Not a std::exception, so no
// handler of the program can take it; only the fuzz target catches it.
struct RunEnded {
    enum class Way { Exit, Normal, Unhandled };
    Way way = Way::Normal;
    int status = 0;
};

// A small deterministic machine: a clock that moves only when the program sleeps or the
// target moves it, a log file held in memory, and network doors the target scripts. A
// door the target did not script is never expected to be used.
class FuzzPlatform final : public platform::Platform {
public:
    static constexpr std::int64_t kUtcOffsetSeconds = 3600;
    // 2026-12-08 11:00:00.25 UTC.
    static constexpr std::int64_t kStartUnixNanos = 1796727600LL * 1'000'000'000 + 250'000'000;

    FuzzPlatform();
    ~FuzzPlatform() override;
    FuzzPlatform(const FuzzPlatform&) = delete;
    FuzzPlatform& operator=(const FuzzPlatform&) = delete;

    platform::WallReading ReadWallClock() override;
    std::int64_t MonotonicNanos() override { return monotonicNanos; }
    void Sleep(int milliseconds) override;

    std::string ExecutableDirectory() override { return "/opt/pelldor"; }
    char PathSeparator() const override { return '/'; }
    std::string CommandLineTail() override { return tail; }

    bool IsRegularFile(const std::string& path) override;
    std::string AppendToFile(const std::string& path, std::string_view text) override;

    std::uint64_t Random64() override { return nextRandom++; }
    std::unique_ptr<platform::NameLookup> StartLookup(const std::string& host,
                                                      std::uint16_t port) override;
    platform::OpenResult OpenUdp(const platform::NetAddress& peer) override;

    void WriteStandardOutput(std::string_view) override {}
    [[noreturn]] void ExitProcess(int status) override;
    [[noreturn]] void EndNormally() override;
    [[noreturn]] void EndOnUnhandledError(std::string_view what) override;

    void Advance(std::int64_t nanos);
    [[nodiscard]] static std::string LogPath() { return "/opt/pelldor/ntpdebug.txt"; }

    std::int64_t wallNanos = kStartUnixNanos;
    std::int64_t monotonicNanos = 1'000'000'000;
    std::string tail;
    bool switchFilePresent = false;
    std::string log;
    std::uint64_t nextRandom = 0x0123456789abcdefULL;
    std::function<std::unique_ptr<platform::NameLookup>(const std::string&, std::uint16_t)> lookupHook;
    std::function<platform::OpenResult(const platform::NetAddress&)> openHook;
};

}  // namespace pelldor::fuzz
