#include "support/fake_platform.h"

#include <cstdio>
#include <cstdlib>
#include <utility>

#include "foundation/run_state.h"
#include "support/addresses.h"

namespace pelldor::testing {

FakePlatform::FakePlatform() = default;
FakePlatform::~FakePlatform() = default;

platform::LocalDateTime FakePlatform::LocalAt(std::int64_t unixNanos) const {
    return platform::FromSerialSeconds(platform::AddNanos(platform::UnixTime{}, unixNanos).seconds + utcOffsetSeconds);
}

platform::WallReading FakePlatform::ReadWallClock() {
    return {platform::AddNanos(platform::UnixTime{}, wallNanos), LocalAt(wallNanos)};
}

void FakePlatform::Advance(std::int64_t nanos) {
    wallNanos += nanos;
    monotonicNanos += nanos;
}

void FakePlatform::Sleep(int milliseconds) {
    if (milliseconds < 0) Unexpected("a sleep of " + std::to_string(milliseconds) + " ms");
    ++sleepCalls;
    sleptMilliseconds += milliseconds;
    Advance(static_cast<std::int64_t>(milliseconds) * 1'000'000);
    if (onSleep) onSleep();
}

bool FakePlatform::IsRegularFile(const std::string& path) { return files.count(path) != 0; }

std::string FakePlatform::AppendToFile(const std::string& path, std::string_view text) {
    ++appendCalls;
    if (failingAppends.count(path) != 0 || directories.count(path) != 0) return "Permission denied";
    files[path].append(text);
    return {};
}

std::unique_ptr<platform::NameLookup> FakePlatform::StartLookup(const std::string& host,
                                                               std::uint16_t port) {
    if (!lookupHook) Unexpected("unexpected name lookup of " + host + ":" + std::to_string(port));
    return lookupHook ? lookupHook(host, port) : nullptr;
}

platform::OpenResult FakePlatform::OpenUdp(const platform::NetAddress& peer) {
    if (!openHook) {
        Unexpected("unexpected socket to " + platform::AddressText(peer));
        return {nullptr, {platform::NetError::Other, 0}};
    }
    return openHook(peer);
}

void FakePlatform::Terminate(platform::EndWay way, int status) {
    throw ProcessEnd{way, status, way == platform::EndWay::Unhandled ? standardError : std::string()};
}

std::vector<std::string> FakePlatform::LogLines() const {
    std::vector<std::string> lines;
    const auto it = files.find(LogPath());
    if (it == files.end()) return lines;
    const std::string& text = it->second;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find("\r\n", start);
        if (end == std::string::npos) {
            Unexpected("log ends without CR LF: " + text.substr(start));
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

void FakePlatform::Unexpected(const std::string& what) const {
    if (onUnexpected) {
        onUnexpected(what);
        return;
    }
    std::fprintf(stderr, "fake platform: %s\n", what.c_str());
    std::abort();
}

ScopedFakePlatform::ScopedFakePlatform(UnexpectedUse onUnexpected) {
    platform_.onUnexpected = std::move(onUnexpected);
    BindPlatform(&platform_);
}

ScopedFakePlatform::~ScopedFakePlatform() { BindPlatform(nullptr); }

}  // namespace pelldor::testing
