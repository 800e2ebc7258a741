#pragma once

#include <cstdint>

#include "timequery/ntp_wire.h"

namespace pelldor::testing {

// Reads an NTP timestamp back as Unix time, placing its 32-bit seconds in the era nearest
// the pivot, with the fraction rounded down: the tests' oracle for the probe's own
// ToNtpTimestamp, which the probe never needs to undo.
[[nodiscard]] inline timequery::UnixTime FromNtpTimestamp(std::uint64_t ntp, std::int64_t pivotUnixSeconds) {
    constexpr std::uint64_t kNanosPerSecond = 1'000'000'000;
    const std::int64_t pivot = pivotUnixSeconds + timequery::kNtpToUnixSeconds;
    const auto seconds = static_cast<std::uint32_t>(ntp >> 32);
    const auto ahead = static_cast<std::int32_t>(seconds - static_cast<std::uint32_t>(pivot));
    const auto nanos = (ntp & 0xffff'ffffU) * kNanosPerSecond >> 32;
    return timequery::UnixTime{pivot + ahead - timequery::kNtpToUnixSeconds, static_cast<std::uint32_t>(nanos)};
}

}  // namespace pelldor::testing
