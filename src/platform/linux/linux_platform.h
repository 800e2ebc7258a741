#pragma once

#include <span>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace pelldor::platform {

// The arguments joined by single blanks. An argument that is empty or holds a blank or a
// tab is put in double quotes, so the program's own splitting gets the same pieces back.
[[nodiscard]] std::string JoinCommandLineTail(std::span<const std::string> arguments);

class LinuxPlatform final : public Platform {
public:
    LinuxPlatform(int argc, char** argv);

    WallReading ReadWallClock() override;
    std::int64_t MonotonicNanos() override;
    void Sleep(int milliseconds) override;

    std::string ExecutableDirectory() override;
    char PathSeparator() const override { return '/'; }
    std::string CommandLineTail() override;

    bool IsRegularFile(const std::string& path) override;
    [[nodiscard]] std::string AppendToFile(const std::string& path, std::string_view text) override;

    [[nodiscard]] std::uint64_t Random64() override;
    [[nodiscard]] std::unique_ptr<NameLookup> StartLookup(const std::string& host,
                                                          std::uint16_t port) override;
    [[nodiscard]] OpenResult OpenUdp(const NetAddress& peer) override;

    void WriteStandardOutput(std::string_view text) override;
    [[noreturn]] void ExitProcess(int status) override;
    [[noreturn]] void EndNormally() override;
    [[noreturn]] void EndOnUnhandledError(std::string_view what) override;

private:
    std::string programPath_;
    std::vector<std::string> arguments_;
};

}  // namespace pelldor::platform
