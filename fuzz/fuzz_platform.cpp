#include "fuzz_platform.h"

#include "fuzz_check.h"

namespace pelldor::fuzz {

FuzzPlatform::FuzzPlatform() { platform::Install(this); }

FuzzPlatform::~FuzzPlatform() { platform::Install(nullptr); }

platform::WallReading FuzzPlatform::ReadWallClock() {
    std::int64_t seconds = wallNanos / 1'000'000'000;
    std::int64_t nanos = wallNanos % 1'000'000'000;
    if (nanos < 0) {
        --seconds;
        nanos += 1'000'000'000;
    }
    return {seconds, static_cast<std::uint32_t>(nanos),
            platform::FromSerialSeconds(seconds + kUtcOffsetSeconds)};
}

void FuzzPlatform::Advance(std::int64_t nanos) {
    wallNanos += nanos;
    monotonicNanos += nanos;
}

void FuzzPlatform::Sleep(int milliseconds) {
    Check(milliseconds >= 0, "negative sleep");
    Advance(static_cast<std::int64_t>(milliseconds) * 1'000'000);
}

bool FuzzPlatform::IsRegularFile(const std::string& path) {
    Check(path == LogPath(), "a file other than the log was looked at");
    return switchFilePresent;
}

std::string FuzzPlatform::AppendToFile(const std::string& path, std::string_view text) {
    Check(path == LogPath(), "a file other than the log was written");
    Check(switchFilePresent, "the log was written although logging is off");
    log.append(text);
    return {};
}

std::unique_ptr<platform::NameLookup> FuzzPlatform::StartLookup(const std::string& host,
                                                               std::uint16_t port) {
    Check(static_cast<bool>(lookupHook), "unexpected name lookup");
    return lookupHook(host, port);
}

platform::OpenResult FuzzPlatform::OpenUdp(const platform::NetAddress& peer) {
    Check(static_cast<bool>(openHook), "unexpected socket");
    return openHook(peer);
}

void FuzzPlatform::ExitProcess(int status) { throw RunEnded{RunEnded::Way::Exit, status}; }

void FuzzPlatform::EndNormally() { throw RunEnded{RunEnded::Way::Normal, 0}; }

void FuzzPlatform::EndOnUnhandledError(std::string_view) { throw RunEnded{RunEnded::Way::Unhandled, 1}; }

}  // namespace pelldor::fuzz
