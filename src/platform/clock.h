#pragma once

#include <compare>
#include <cstdint>
#include <limits>
#include <span>

#include "platform/network.h"

// The clocks, and the one way the program waits.
namespace pelldor::platform {

inline constexpr std::int64_t kNanosPerSecond = 1'000'000'000;
// A monotonic time that never comes: a wait without a deadline of its own.
inline constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::max();

// An instant as seconds since 1970-01-01 00:00:00 UTC and the nanoseconds past that second.
struct UnixTime {
    std::int64_t seconds = 0;
    std::uint32_t nanos = 0;  // 0 to 999,999,999

    bool operator==(const UnixTime&) const = default;
};

// A naive local wall-clock date and time: the fields as the clock shows them, with no time
// zone attached.
struct LocalDateTime {
    std::int32_t year = 0;
    std::int32_t month = 0;
    std::int32_t day = 0;
    std::int32_t hour = 0;
    std::int32_t minute = 0;
    std::int32_t second = 0;

    auto operator<=>(const LocalDateTime&) const = default;
};

// One reading of the wall clock in both forms the program needs: UTC for the wire, and the
// local fields of the same instant, whole seconds, for what it shows and compares.
struct WallReading {
    UnixTime utc;
    LocalDateTime local;
};

class Clock {
public:
    virtual ~Clock() = default;

    virtual WallReading ReadWallClock() = 0;
    // Nanoseconds on a clock that no adjustment of the wall clock moves.
    virtual std::int64_t MonotonicNanos() = 0;
    // Blocks until the monotonic clock reads `until`, or until one of `watched` (channels
    // of this machine's network) has something to receive or, a stream, can take what it
    // waits to write, whichever comes first. A wait may end early (a signal); the caller
    // waits again for what is left.
    virtual void WaitUntil(std::int64_t until, std::span<Channel* const> watched) = 0;
};

}  // namespace pelldor::platform
