#pragma once

#include <string>

#include "platform/platform.h"

namespace pelldor::platform {

// The platform on Windows 8 and later. Windows types stay out of this header: the handles
// are kept as plain pointers.
class WindowsPlatform final : public Platform {
public:
    WindowsPlatform();
    ~WindowsPlatform() override;
    WindowsPlatform(const WindowsPlatform&) = delete;
    WindowsPlatform& operator=(const WindowsPlatform&) = delete;

    WallReading ReadWallClock() override;
    std::int64_t MonotonicNanos() override;
    void Sleep(int milliseconds) override;

    std::string ExecutableDirectory() override;
    char PathSeparator() const override { return '\\'; }
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

    // The hidden top-level window; null where the system would not make one.
    [[nodiscard]] void* Window() const { return window_; }
    // Whether sleeps run on a high-resolution timer rather than the raised system timer rate.
    [[nodiscard]] bool HighResolutionSleep() const { return timer_ != nullptr; }

protected:
    void DispatchSystemMessages() override;

private:
    void* window_ = nullptr;
    void* timer_ = nullptr;
    bool raisedTimerRate_ = false;
    bool winsock_ = false;
    int winsockError_ = 0;
    std::int64_t counterFrequency_ = 1;
};

}  // namespace pelldor::platform
